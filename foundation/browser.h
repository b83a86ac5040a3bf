// Opening a web page in the user's browser.
#pragma once

#include <string>

// ShellExecuteW with no owner window, verb "open", no parameters, no folder,
// SW_SHOWNORMAL. The outcome is ignored: a page that cannot be shown changes
// nothing about the run.
void OpenInBrowser(const std::wstring& url);

// The retrieval workflow: from the service request to the finished installer.
#pragma once

#include <windows.h>

#include <string>

#include "foundation/result.h"

// Asks the service which installer `key` stands for, obtains it (cache or
// download), verifies its publisher, starts it and waits. `window` is the
// progress window (null in silent mode); `reportText` receives the
// installer's report in silent mode.
CResult RetrieveAndLaunchInstaller(HWND window, const std::wstring& key, const std::wstring& version,
                                   std::wstring* reportText);

#include "foundation/browser.h"

#include <windows.h>
#include <shellapi.h>

void OpenInBrowser(const std::wstring& url) {
    ShellExecuteW(nullptr, L"open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

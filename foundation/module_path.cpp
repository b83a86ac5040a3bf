#include "foundation/module_path.h"

#include <windows.h>

#include "foundation/result.h"

namespace {
constexpr DWORD kModulePathChars = 520;
}  // namespace

std::wstring GetModulePath() {
    wchar_t buffer[kModulePathChars] = {};
    DWORD length = GetModuleFileNameW(nullptr, buffer, kModulePathChars);
    if (length == 0) throw CAtlException(HResultFromLastError());
    // A path the buffer cuts short would name another file.
    if (length >= kModulePathChars) throw CAtlException(HResultFromError(ERROR_INSUFFICIENT_BUFFER));
    return std::wstring(buffer, length);
}

std::wstring FolderOfPath(const std::wstring& path) {
    size_t lastBackslash = path.rfind(L'\\');
    if (lastBackslash == std::wstring::npos) throw CAtlException(E_FAIL);
    return path.substr(0, lastBackslash);
}

std::wstring GetModuleFolder() { return FolderOfPath(GetModulePath()); }

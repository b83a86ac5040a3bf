#include "launcher/startup_checks.h"

#include "foundation/text.h"

namespace {
const wchar_t kKeyPrefix[] = L"quillo:";
constexpr size_t kKeyPrefixLength = sizeof kKeyPrefix / sizeof kKeyPrefix[0] - 1;
constexpr WORD kFirstAcceptedYear = 2010;
}  // namespace

OSVERSIONINFOEXW QuerySystemVersion() {
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    // Not tested: on failure every field stays 0 (and the check refuses).
    GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version));
    return version;
}

CResult CheckSystemVersion(const OSVERSIONINFOEXW& version) {
    bool accepted = version.dwMajorVersion >= 5 && !(version.dwMajorVersion == 5 && version.dwMinorVersion == 0) &&
                    version.dwPlatformId == VER_PLATFORM_WIN32_NT;
    if (accepted) return CResult();
    return CResult(E_FAIL, 678,
                   Format(L"This program only runs on Windows XP or later versions of Windows (%d.%d/%d)",
                          static_cast<int>(version.dwMajorVersion), static_cast<int>(version.dwMinorVersion),
                          static_cast<int>(version.dwPlatformId)));
}

CResult CheckClock(const SYSTEMTIME& localTime) {
    if (localTime.wYear >= kFirstAcceptedYear) return CResult();
    return CResult(E_FAIL, 687,
                   Format(L"The computer's date is set incorrectly (%04d-%02d-%02d)", localTime.wYear,
                          localTime.wMonth, localTime.wDay));
}

std::wstring KeyFromSwitch(const std::wstring& value) {
    if (value.compare(0, kKeyPrefixLength, kKeyPrefix) == 0) return value.substr(kKeyPrefixLength);
    return value;
}

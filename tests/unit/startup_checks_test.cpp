#include <gtest/gtest.h>

#include "launcher/startup_checks.h"

namespace {

OSVERSIONINFOEXW Version(DWORD major, DWORD minor, DWORD platform) {
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    version.dwMajorVersion = major;
    version.dwMinorVersion = minor;
    version.dwPlatformId = platform;
    return version;
}

SYSTEMTIME Date(WORD year, WORD month, WORD day) {
    SYSTEMTIME time = {};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    return time;
}

TEST(CheckSystemVersion, XpAndLaterOfTheNtPlatformPass) {
    for (auto v : {Version(5, 1, 2), Version(5, 2, 2), Version(6, 0, 2), Version(6, 1, 2), Version(10, 0, 2)}) {
        EXPECT_EQ(CheckSystemVersion(v).m_hr, S_OK) << v.dwMajorVersion << "." << v.dwMinorVersion;
    }
}

TEST(CheckSystemVersion, OlderSystemsAndOtherPlatformsAreRefusedWithTheirNumbers) {
    CResult windows2000 = CheckSystemVersion(Version(5, 0, 2));
    EXPECT_EQ(windows2000.m_hr, E_FAIL);
    EXPECT_EQ(windows2000.m_code, 678);
    EXPECT_EQ(windows2000.m_message,
              L"This program only runs on Windows XP or later versions of Windows (5.0/2)");
    EXPECT_EQ(CheckSystemVersion(Version(4, 10, 1)).m_message,
              L"This program only runs on Windows XP or later versions of Windows (4.10/1)");
    EXPECT_EQ(CheckSystemVersion(Version(6, 1, 1)).m_code, 678) << "a later version off the NT platform";
    EXPECT_EQ(CheckSystemVersion(Version(0, 0, 0)).m_code, 678) << "what a failed version query leaves";
}

TEST(CheckClock, OnlyTheYearCounts) {
    CResult lastDayOf2009 = CheckClock(Date(2009, 12, 31));
    EXPECT_EQ(lastDayOf2009.m_hr, E_FAIL);
    EXPECT_EQ(lastDayOf2009.m_code, 687);
    EXPECT_EQ(lastDayOf2009.m_message, L"The computer's date is set incorrectly (2009-12-31)");
    EXPECT_EQ(CheckClock(Date(1601, 1, 1)).m_message, L"The computer's date is set incorrectly (1601-01-01)");
    for (auto date : {Date(2010, 1, 1), Date(2010, 12, 31), Date(2026, 2, 28), Date(30827, 12, 31)}) {
        EXPECT_EQ(CheckClock(date).m_hr, S_OK) << date.wYear;
    }
}

TEST(KeyFromSwitch, DropsOnlyTheExactPrefix) {
    EXPECT_EQ(KeyFromSwitch(L"quillo:0123abcd"), L"0123abcd");
    EXPECT_EQ(KeyFromSwitch(L"Quillo:0123abcd"), L"Quillo:0123abcd");
    EXPECT_EQ(KeyFromSwitch(L"QUILLO:x"), L"QUILLO:x");
    EXPECT_EQ(KeyFromSwitch(L"0123abcd"), L"0123abcd");
    EXPECT_EQ(KeyFromSwitch(L"quillo:"), L"");
    EXPECT_EQ(KeyFromSwitch(L"quillo"), L"quillo");
    EXPECT_EQ(KeyFromSwitch(L"quillo:quillo:k"), L"quillo:k");
}

}  // namespace

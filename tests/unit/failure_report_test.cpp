// What the failure and crash reports send, beyond what the end-to-end runs
// can provoke: text that is not ASCII, and the fault line's fixed widths.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/crash_filter.h"
#include "launcher/failure_report.h"

TEST(FailureReport, QueryEncodesEveryTextAsUtf8Bytes) {
    CResult failure(static_cast<HRESULT>(0x80072EE7), 0, L"Caf\u00e9 d\u00e9j\u00e0-vu");
    EXPECT_EQ(BuildErrorPageQuery(failure, L"0,1,0,377", L"6.1.SP1", L"", L"2011-02-28"),
              L"?source=loomcraft&code=0&message=Caf%C3%A9%20d%C3%A9j%C3%A0%2Dvu&error=0x80072ee7"
              L"&version=0%2C1%2C0%2C377&os=6%2E1%2ESP1&key=&date=2011%2D02%2D28");
}

TEST(CrashFilter, FaultLineHasFixedWidthsAndNamesAMissingModule) {
    std::wstring zeros(sizeof(void*) * 2, L'0');
    EXPECT_EQ(FormatFaultLine(nullptr, nullptr, 0xC0000005, nullptr),
              L"0x" + zeros + L":0x" + zeros + L":c0000005:(null)");
    EXPECT_EQ(FormatFaultLine(reinterpret_cast<void*>(0x400000), reinterpret_cast<void*>(0x40A0BC), 0x80000003,
                              L"loomcraft.exe"),
              L"0x" + zeros.substr(6) + L"400000:0x" + zeros.substr(6) + L"40A0BC:80000003:loomcraft.exe");
}

TEST(CrashFilter, ReportsOnlyTheFirstCall) {
    static std::vector<std::wstring> opened;
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    EXCEPTION_POINTERS pointers = {&record, nullptr};
    auto open = [](const std::wstring& url) { opened.push_back(url); };
    EXPECT_EQ(ReportFirstCrash(&pointers, open), EXCEPTION_CONTINUE_SEARCH);
    EXPECT_EQ(ReportFirstCrash(&pointers, open), EXCEPTION_CONTINUE_SEARCH);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_NE(opened[0].find(L"/error/?source=Loomcraft&code=0&message="), std::wstring::npos) << opened[0];
}

#include "launcher/failure_report.h"

#include "foundation/error_text.h"
#include "foundation/text.h"

namespace {
const wchar_t kSeparator[] = L" - ";
}

std::wstring DescribeResult(CResult outcome) {
    std::wstring text = L"Failed";
    if (!outcome.m_message.empty()) text += kSeparator + outcome.m_message;
    if (outcome.m_hr != E_FAIL) {
        std::wstring errorText = GetErrorText(outcome.m_hr, false);
        if (!errorText.empty()) text += kSeparator + errorText;
    }
    if (outcome.m_code != 0) text += kSeparator + Format(L"%d", outcome.m_code);
    return text;
}

void ReportFailure(const CResult&, const std::wstring&, const std::wstring&) {
    // The interactive failure report (message box and error page) is not part
    // of this build yet: an interactive failure ends with its exit code alone.
}

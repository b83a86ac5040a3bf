#include "launcher/failure_report.h"

#include <windows.h>
#include "foundation/browser.h"
#include "foundation/error_text.h"
#include "foundation/text.h"
#include "launcher/startup_checks.h"
#include "service_endpoint.h"

std::wstring FormatToday() {
    SYSTEMTIME today;
    GetLocalTime(&today);
    return Format(L"%04d-%02d-%02d", today.wYear, today.wMonth, today.wDay);
}

std::wstring BuildErrorPageQuery(const CResult& outcome, const std::wstring& version, const std::wstring& os,
                                 const std::wstring& keyText, const std::wstring& date) {
    return Format(L"?source=loomcraft&code=%d&message=%ws&error=0x%08x&version=%ws&os=%ws&key=%ws&date=%ws",
                  outcome.m_code, UrlEncodeOrThrow(outcome.m_message).c_str(),
                  static_cast<unsigned>(outcome.m_hr), UrlEncodeOrThrow(version).c_str(),
                  UrlEncodeOrThrow(os).c_str(), UrlEncodeOrThrow(keyText).c_str(), UrlEncodeOrThrow(date).c_str());
}

std::wstring BuildFailureMessage(const CResult& outcome) {
    return L"An error occured. \r\n\r\n" + Format(L"%ws; %ws; %d", GetErrorText(outcome.m_hr, true).c_str(),
                                                   outcome.m_message.c_str(), outcome.m_code);
}

void ReportFailure(const CResult& outcome, const std::wstring& version, const std::wstring& keyText) {
    std::wstring query =
        BuildErrorPageQuery(outcome, version, FormatWindowsVersion(QuerySystemVersion()), keyText, FormatToday());
    MessageBoxW(nullptr, BuildFailureMessage(outcome).c_str(), L"Error", MB_OK);
    std::wstring url = std::wstring(LOOMCRAFT_SERVICE_URL) + L"/error/" + query;
    OpenInBrowser(url);
}

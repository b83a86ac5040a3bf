#include "http/cracked_url.h"

#include "http/wininet_api.h"

namespace {

constexpr DWORD kUrlComponentsSize = sizeof(URL_COMPONENTSW);
static_assert(sizeof(void*) != 4 || kUrlComponentsSize == 60, "URL_COMPONENTSW as WinINet expects it");
constexpr DWORD kReportInPlace = static_cast<DWORD>(-1);  // a pointer into the URL and a length, no copy

void CopyComponent(const wchar_t* text, DWORD length, std::wstring& field) {
    if (text != nullptr && length != 0 && length != kReportInPlace) field.assign(text, length);
}

}  // namespace

CResult CrackUrl(const std::wstring& url, CCrackedUrl& cracked) {
    cracked = CCrackedUrl();
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = kUrlComponentsSize;
    parts.dwSchemeLength = kReportInPlace;
    parts.dwHostNameLength = kReportInPlace;
    parts.dwUserNameLength = kReportInPlace;
    parts.dwPasswordLength = kReportInPlace;
    parts.dwUrlPathLength = kReportInPlace;
    parts.dwExtraInfoLength = kReportInPlace;
    if (!wininet::InternetCrackUrlW(url.c_str(), 0, 0, &parts)) return CResult::FromLastError(93);
    CopyComponent(parts.lpszHostName, parts.dwHostNameLength, cracked.m_hostName);
    CopyComponent(parts.lpszUrlPath, parts.dwUrlPathLength, cracked.m_urlPath);
    CopyComponent(parts.lpszExtraInfo, parts.dwExtraInfoLength, cracked.m_extraInfo);
    CopyComponent(parts.lpszScheme, parts.dwSchemeLength, cracked.m_schemeName);
    CopyComponent(parts.lpszUserName, parts.dwUserNameLength, cracked.m_userName);
    CopyComponent(parts.lpszPassword, parts.dwPasswordLength, cracked.m_password);
    cracked.m_scheme = parts.nScheme;
    cracked.m_port = parts.nPort;
    return CResult();
}

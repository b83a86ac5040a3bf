#include "http/connection.h"

#include <vector>

#include "foundation/text.h"
#include "http/wininet_api.h"

namespace {

constexpr DWORD kUserAgentBytes = 3120;
constexpr DWORD kMinConnections = 64;
constexpr DWORD kConnectFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI;
// Redirects are followed by the request engine itself (bounded, never from
// https to http), not by WinINet.
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION |
                                INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI | INTERNET_FLAG_PRAGMA_NOCACHE |
                                INTERNET_FLAG_NO_AUTO_REDIRECT;
static_assert(kConnectFlags == 0x84080200, "connection flags");
static_assert(kRequestFlags == (0x84480300 | INTERNET_FLAG_NO_AUTO_REDIRECT), "request flags");
// Windows' own defaults, set explicitly: some WinINet implementations set no
// time-out at all and wait on a silent server for ever.
constexpr DWORD kConnectTimeoutMs = 60000;
constexpr DWORD kSendTimeoutMs = 30000;
constexpr DWORD kReceiveTimeoutMs = 30000;

DWORD SecureFlag(bool secure) { return secure ? INTERNET_FLAG_SECURE : 0; }

void SetTimeout(HINTERNET handle, DWORD option, DWORD milliseconds) {
    wininet::InternetSetOptionW(handle, option, &milliseconds, sizeof milliseconds);
}

// On the session (inherited by what is opened from it) and again on each
// request: some WinINet implementations take them only there.
void SetTimeouts(HINTERNET handle) {
    SetTimeout(handle, INTERNET_OPTION_CONNECT_TIMEOUT, kConnectTimeoutMs);
    SetTimeout(handle, INTERNET_OPTION_SEND_TIMEOUT, kSendTimeoutMs);
    SetTimeout(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, kReceiveTimeoutMs);
}

void RaiseLimit(DWORD option) {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (!wininet::InternetQueryOptionW(nullptr, option, &value, &size)) value = 0;
    if (value < kMinConnections) value = kMinConnections;
    wininet::InternetSetOptionW(nullptr, option, &value, sizeof value);
}

// `value` is zero-terminated after its `length` characters.
CResult SetStringOption(HINTERNET request, DWORD option, const wchar_t* value, size_t length, int code) {
    if (!wininet::InternetSetOptionW(request, option, const_cast<wchar_t*>(value), static_cast<DWORD>(length + 1))) {
        return CResult::FromLastError(code);
    }
    return CResult();
}

}  // namespace

std::wstring GetUserAgent() {
    char buffer[kUserAgentBytes] = {};
    DWORD size = kUserAgentBytes;
    if (SUCCEEDED(urlmon::ObtainUserAgentString(0, buffer, &size))) return WidenAnsi(buffer);
    return L"Mozilla/4.0";
}

void RaiseConnectionLimits() {
    RaiseLimit(INTERNET_OPTION_MAX_CONNS_PER_SERVER);
    RaiseLimit(INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER);
}

namespace {

bool ProxyInfoNamesProxy(HINTERNET internet) {
    DWORD size = 0;
    wininet::InternetQueryOptionW(internet, INTERNET_OPTION_PROXY, nullptr, &size);
    if (size < sizeof(INTERNET_PROXY_INFO)) return false;
    std::vector<unsigned char> buffer(size);
    if (!wininet::InternetQueryOptionW(internet, INTERNET_OPTION_PROXY, buffer.data(), &size)) return false;
    return reinterpret_cast<const INTERNET_PROXY_INFO*>(buffer.data())->dwAccessType == INTERNET_OPEN_TYPE_PROXY;
}

bool ConnectionFlagsNameProxy(HINTERNET internet) {
    INTERNET_PER_CONN_OPTIONW flags = {};
    flags.dwOption = INTERNET_PER_CONN_FLAGS;
    INTERNET_PER_CONN_OPTION_LISTW list = {};
    list.dwSize = sizeof list;
    list.pszConnection = nullptr;  // the LAN settings
    list.dwOptionCount = 1;
    list.pOptions = &flags;
    DWORD size = sizeof list;
    if (!wininet::InternetQueryOptionW(internet, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size)) return false;
    return (flags.Value.dwValue & (PROXY_TYPE_PROXY | PROXY_TYPE_AUTO_PROXY_URL | PROXY_TYPE_AUTO_DETECT)) != 0;
}

}  // namespace

bool SessionUsesProxy(HINTERNET internet) {
    // Settings that cannot be read name no proxy: credentials then stay home.
    return ProxyInfoNamesProxy(internet) || ConnectionFlagsNameProxy(internet);
}

CResult ApplyProxyCredentials(const CProxyCredentials& credentials, HINTERNET request) {
    const std::wstring& user = credentials.m_userName;
    CResult applied = SetStringOption(request, INTERNET_OPTION_PROXY_USERNAME, user.c_str(), user.size(), 59);
    if (applied.Failed()) return applied;
    const CSecretText& password = credentials.m_password;
    return SetStringOption(request, INTERNET_OPTION_PROXY_PASSWORD, password.c_str(), password.size(), 60);
}

HINTERNET OpenInternet(const std::wstring& userAgent) {
    HINTERNET internet = wininet::InternetOpenW(userAgent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (internet != nullptr) SetTimeouts(internet);
    return internet;
}

HINTERNET OpenConnection(HINTERNET internet, const std::wstring& hostName, INTERNET_PORT port, bool secure) {
    return wininet::InternetConnectW(internet, hostName.c_str(), port, nullptr, nullptr, INTERNET_SERVICE_HTTP,
                            kConnectFlags | SecureFlag(secure), 0);
}

HINTERNET OpenGetRequest(HINTERNET connection, const std::wstring& objectName, bool secure) {
    const wchar_t* acceptTypes[] = {L"*/*", nullptr};
    HINTERNET request = wininet::HttpOpenRequestW(connection, L"GET", objectName.c_str(), nullptr, L"", acceptTypes,
                                         kRequestFlags | SecureFlag(secure), 0);
    if (request != nullptr) SetTimeouts(request);
    return request;
}

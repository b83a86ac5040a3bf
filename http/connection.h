// How every request opens its WinINet handles, and the settings around them.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <string>

#include "foundation/proxy_credentials.h"
#include "foundation/result.h"
#include "http/wininet_handles.h"

// The system's user agent, obtained afresh each time; "Mozilla/4.0" when
// the system cannot say.
std::wstring GetUserAgent();

// Raises WinINet's process-wide connection limits (per server, HTTP/1.1 and
// 1.0) to at least 64; higher values stay.
void RaiseConnectionLimits();

// Whether the session's requests go through a proxy: its settings name a
// proxy server or an automatic configuration (a script, or detection). Only
// then is a 407 a proxy's challenge; from a server reached directly it is a
// status like any other, and no proxy credentials go to that server.
bool SessionUsesProxy(HINTERNET internet);

// Sets the proxy user name (59) and password (60) on a request handle.
CResult ApplyProxyCredentials(const CProxyCredentials& credentials, HINTERNET request);

// The three handles of one request, with the system's proxy settings,
// nothing cached, no cookies, no UI, Windows' time-outs (connect 60 s, send
// and receive 30 s) and no automatic redirects. Null on failure (the last
// error tells).
HINTERNET OpenInternet(const std::wstring& userAgent);
HINTERNET OpenConnection(HINTERNET internet, const std::wstring& hostName, INTERNET_PORT port, bool secure);
HINTERNET OpenGetRequest(HINTERNET connection, const std::wstring& objectName, bool secure);

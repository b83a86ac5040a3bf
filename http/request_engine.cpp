// CWinInet: one HTTP(S) GET from start to end on synchronous WinINet handles.
#include <cstdint>
#include <cwchar>
#include <memory>
#include <new>
#include <vector>

#include "foundation/text.h"
#include "http/connection.h"
#include "http/cracked_url.h"
#include "http/transfer.h"
#include "http/wininet_api.h"

namespace {

constexpr DWORD kChunkSize = 4096;
constexpr DWORD kHeaderBytes = 520;
constexpr DWORD kProxyAuthenticationRequired = 407;
constexpr DWORD kPartialContent = 206;
constexpr int kFirstRangeCode = 306;  // VerifyRange's failures
constexpr int kLastRangeCode = 327;
constexpr DWORD kOk = 200;
constexpr DWORD kLowestStatus = 100;   // a status is three digits
constexpr DWORD kHighestStatus = 999;
// Redirects are followed here, not by WinINet, so that a chain of them ends
// (some WinINet implementations follow a loop for ever) and never leads from
// https to http. Windows' own limit is taken.
constexpr int kMaxRedirects = 10;
constexpr DWORD kRedirectFailed = 12156;         // ERROR_HTTP_REDIRECT_FAILED
constexpr DWORD kHttpsToHttpOnRedirect = 12040;  // ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR

// A header's text, or false when it is absent (or does not fit).
bool QueryHeader(HINTERNET request, DWORD query, wchar_t (&text)[kHeaderBytes / sizeof(wchar_t)]) {
    std::wmemset(text, 0, kHeaderBytes / sizeof(wchar_t));
    DWORD size = kHeaderBytes;
    return wininet::HttpQueryInfoW(request, query, text, &size, nullptr) != FALSE;
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }
bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// One or more decimal digits at `p` (moved past them) that fit in 63 bits.
bool ReadDigits(const wchar_t*& p, int64_t& value) {
    if (!IsDigit(*p)) return false;
    value = 0;
    for (; IsDigit(*p); ++p) {
        int digit = *p - L'0';
        if (value > (INT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

// Content-Length: absent is 0; present, it must be exactly one non-negative
// decimal number that fits in 63 bits, with nothing else around it but
// blanks (256). "12abc" or "12 12" is not a length the body can be checked
// against.
CResult ReadContentLength(HINTERNET request, CResponseInfo& info) {
    info.m_contentLength = 0;
    wchar_t text[kHeaderBytes / sizeof(wchar_t)];
    if (!QueryHeader(request, HTTP_QUERY_CONTENT_LENGTH, text)) return CResult();
    const wchar_t* p = text;
    while (IsBlank(*p)) ++p;
    int64_t value = 0;
    if (!ReadDigits(p, value)) return CResult(E_FAIL, 256);
    while (IsBlank(*p)) ++p;
    if (*p != L'\0') return CResult(E_FAIL, 256);
    info.m_contentLength = value;
    return CResult();
}

// Reads one decimal number the way "%I64d" does: blanks skipped, an
// optional sign, then digits (which must not overflow).
bool ReadNumber(const wchar_t*& p, long long& value) {
    while (*p == L' ' || *p == L'\t' || *p == L'\r' || *p == L'\n') ++p;
    bool negative = *p == L'-';
    if (*p == L'-' || *p == L'+') ++p;
    int64_t magnitude = 0;
    if (!ReadDigits(p, magnitude)) return false;
    value = negative ? -magnitude : magnitude;
    return true;
}

// "bytes %I64d-%I64d/%I64d", matched as the format reads: "bytes", any
// blanks, the first position, "-", the last, "/", the total; anything after
// the total is ignored.
bool ParseContentRange(const wchar_t* text, long long& first, long long& last, long long& total) {
    const wchar_t* p = text;
    if (std::wcsncmp(p, L"bytes", 5) != 0) return false;
    p += 5;
    return ReadNumber(p, first) && *p++ == L'-' && ReadNumber(p, last) && *p++ == L'/' && ReadNumber(p, total);
}

// A range request must be answered with exactly the span asked for
// (306 to 327).
CResult VerifyRange(HINTERNET request, int64_t start, int64_t end, CResponseInfo& info) {
    if (info.m_status != kPartialContent) return CResult(E_FAIL, 306, Format(L"%d", static_cast<int>(info.m_status)));
    if (info.m_contentLength != 0 && info.m_contentLength != end - start + 1) return CResult(E_FAIL, 310);
    wchar_t text[kHeaderBytes / sizeof(wchar_t)];
    if (!QueryHeader(request, HTTP_QUERY_CONTENT_RANGE, text)) return CResult::FromLastError(318);
    long long first = 0, last = 0, total = 0;
    if (!ParseContentRange(text, first, last, total)) return CResult(E_FAIL, 322);
    info.m_totalSize = total;
    if (first > last) return CResult(E_FAIL, 324);
    if (last >= total) return CResult(E_FAIL, 325);
    if (first != start) return CResult(E_FAIL, 326);
    if (last != end) return CResult(E_FAIL, 327);
    return CResult();
}

// Where one hop of a request goes.
struct CRequestTarget {
    std::wstring hostName;
    std::wstring objectName;  // path and query
    INTERNET_PORT port = 0;
    bool secure = false;
};

// The connection and request handles of the current hop.
struct CHopHandles {
    InternetHandle connection;
    InternetHandle request;
};

INTERNET_PORT PortOrDefault(INTERNET_PORT port, bool secure) {
    if (port != 0) return port;
    return secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
}

bool IsRedirect(DWORD status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The Location header, whatever its length; false when there is none.
bool QueryLocation(HINTERNET request, std::wstring& location) {
    DWORD size = 0;
    if (wininet::HttpQueryInfoW(request, HTTP_QUERY_LOCATION, nullptr, &size, nullptr) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return false;
    }
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
    if (!wininet::HttpQueryInfoW(request, HTTP_QUERY_LOCATION, text.data(), &size, nullptr)) return false;
    location = text.data();
    return !location.empty();
}

// The next hop: `location` resolved against the current target. A redirect
// from https to http is refused, as Windows' WinINet refuses it without UI.
CResult FollowRedirect(const std::wstring& location, CRequestTarget& target) {
    std::wstring current = (target.secure ? L"https://" : L"http://") + target.hostName + L":" +
                           Format(L"%u", static_cast<unsigned>(target.port)) + target.objectName;
    DWORD length = 0;
    wininet::InternetCombineUrlW(current.c_str(), location.c_str(), nullptr, &length, ICU_NO_ENCODE);
    std::vector<wchar_t> combined(length + 1, L'\0');
    length = static_cast<DWORD>(combined.size());
    if (!wininet::InternetCombineUrlW(current.c_str(), location.c_str(), combined.data(), &length, ICU_NO_ENCODE)) {
        return CResult::FromLastError(215);
    }
    CCrackedUrl next;
    CResult cracked = CrackUrl(combined.data(), next);
    if (cracked.Failed()) return Propagate(cracked, 215);
    bool secure = next.m_scheme == INTERNET_SCHEME_HTTPS;
    if (target.secure && !secure) return CResult(HResultFromError(kHttpsToHttpOnRedirect), 215);
    target = CRequestTarget{next.m_hostName, next.m_urlPath + next.m_extraInfo, PortOrDefault(next.m_port, secure),
                            secure};
    return CResult();
}

// The answer to a proxy's 407 that ends the request, when the hook gives no
// credentials to send.
CResult EndProxyRound(ProxyAnswer answer, CResponseInfo& info) {
    if (answer == ProxyAnswer::NoneGiven) return CResult(E_ABORT, 234, L"Proxy authentication");
    info.m_credentialsRefused = true;
    return CResult(E_FAIL, 227, L"Proxy authentication failed");
}

// One hop: a request sent, and on a proxy's 407 sent again on a fresh handle
// with credentials: the caller's, else the hook's (kept in `supplied` for the
// later hops). Credentials the proxy refuses are never sent again: the hook
// may replace them, else the request ends. Without a proxy there are no
// credentials and a 407 is an ordinary status.
CResult SendWithProxyRound(CWinInet& transfer, const CRequestTarget& target, const std::wstring& headers,
                           bool throughProxy, const CProxyCredentials*& credentials, CProxyCredentials& supplied,
                           CHopHandles& hop, CResponseInfo& info) {
    hop.request.reset(OpenGetRequest(hop.connection.get(), target.objectName, target.secure));
    if (!hop.request) return CResult::FromLastError(175);
    bool credentialsApplied = false;
    if (credentials != nullptr) {
        CResult applied = ApplyProxyCredentials(*credentials, hop.request.get());
        if (applied.Failed()) return applied;
        credentialsApplied = true;
    }
    for (;;) {
        if (!wininet::HttpSendRequestW(hop.request.get(), headers.empty() ? nullptr : headers.c_str(),
                              static_cast<DWORD>(headers.size()), nullptr, 0)) {
            return CResult::FromLastError(215);
        }
        DWORD status = 0;
        DWORD size = sizeof status;
        // A connection closed without any answer leaves some WinINet
        // implementations with "status 0" and an empty body: that is no
        // status line, not a response.
        if (!wininet::HttpQueryInfoW(hop.request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                            nullptr) ||
            status < kLowestStatus || status > kHighestStatus) {
            return CResult(E_FAIL, 221);
        }
        info.m_status = status;
        if (status != kProxyAuthenticationRequired || !throughProxy) return CResult();
        CProxyCredentials refused = credentialsApplied ? *credentials : CProxyCredentials();
        ProxyAnswer answer = transfer.GetProxyCredentials(supplied, credentialsApplied ? &refused : nullptr);
        if (answer != ProxyAnswer::Supplied) return EndProxyRound(answer, info);
        credentials = &supplied;
        // The challenged handle is not sent again: a fresh one with the same
        // object name, flags and headers carries the credentials. (Sending
        // the same handle again turns an HTTPS request through the proxy
        // into a plain GET under some WinINet implementations.)
        hop.request.reset(OpenGetRequest(hop.connection.get(), target.objectName, target.secure));
        if (!hop.request) return CResult::FromLastError(175);
        CResult applied = ApplyProxyCredentials(supplied, hop.request.get());
        if (applied.Failed()) return applied;
        credentialsApplied = true;
    }
}

// Sends the request and follows up to kMaxRedirects redirects; `hop` then
// holds the final response.
CResult SendFollowingRedirects(CWinInet& transfer, HINTERNET internet, CRequestTarget target,
                               const std::wstring& headers, const CProxyCredentials* credentials, CHopHandles& hop,
                               CResponseInfo& info) {
    CProxyCredentials supplied;
    bool throughProxy = SessionUsesProxy(internet);
    if (!throughProxy) credentials = nullptr;
    for (int redirects = 0;; ++redirects) {
        hop.request.reset();
        hop.connection.reset(OpenConnection(internet, target.hostName, target.port, target.secure));
        if (!hop.connection) return CResult::FromLastError(143);
        CResult sent = SendWithProxyRound(transfer, target, headers, throughProxy, credentials, supplied, hop, info);
        if (sent.Failed()) return sent;
        std::wstring location;
        if (!IsRedirect(info.m_status) || !QueryLocation(hop.request.get(), location)) return CResult();
        if (redirects == kMaxRedirects) return CResult(HResultFromError(kRedirectFailed), 215);
        CResult followed = FollowRedirect(location, target);
        if (followed.Failed()) return followed;
    }
}

// A weak ETag (W/"...") may not be sent as If-Range.
bool IsStrongEtag(const wchar_t* etag) { return etag[0] == L'"'; }

// Content-Length, the range answered (a range request; with If-Range a
// whole body is an answer too), Last-Modified and the body's validator.
CResult CheckResponseHeaders(HINTERNET request, bool ranged, bool ifRange, int64_t start, int64_t end,
                             CResponseInfo& info) {
    CResult length = ReadContentLength(request, info);
    if (length.Failed()) return length;
    info.m_startedOver = ranged && ifRange && info.m_status == kOk;
    if (ranged && !info.m_startedOver) {
        CResult range = VerifyRange(request, start, end, info);
        if (range.Failed()) return range;
    } else {
        info.m_totalSize = info.m_contentLength;
    }
    wchar_t text[kHeaderBytes / sizeof(wchar_t)];
    if (QueryHeader(request, HTTP_QUERY_LAST_MODIFIED, text)) info.m_lastModified = text;
    info.m_validator = info.m_lastModified;
    if (QueryHeader(request, HTTP_QUERY_ETAG, text) && IsStrongEtag(text)) info.m_validator = text;
    return CResult();
}

// The body in chunks of at most 4096 bytes, each handed to OnData and
// followed by OnProgress.
CResult ReadBody(CWinInet& transfer, HINTERNET request, bool ranged, int64_t start, int64_t end,
                 CResponseInfo& info) {
    std::unique_ptr<unsigned char[]> chunk(new (std::nothrow) unsigned char[kChunkSize]);
    if (!chunk) return CResult(E_FAIL, 391);
    // A range request delivers exactly its span, whether or not the server
    // says how long its body is: more or fewer bytes would corrupt what is
    // resumed.
    uint64_t expected = ranged ? static_cast<uint64_t>(end - start + 1) : static_cast<uint64_t>(info.m_contentLength);
    info.m_received = 0;
    for (;;) {
        DWORD count = 0;
        if (!wininet::InternetReadFile(request, chunk.get(), kChunkSize, &count)) return CResult::FromLastError(403);
        if (count == 0) {
            if (expected != 0 && info.m_received != expected) return CResult(E_FAIL, 448);
            return CResult();
        }
        if (ranged && info.m_received + count > expected) return CResult(E_FAIL, 448);
        transfer.OnBytesRead(count);
        CResult delivered = transfer.OnData(static_cast<uint64_t>(start) + info.m_received, chunk.get(), count);
        if (delivered.Failed()) {
            info.m_refusedByReceiver = true;
            return delivered;
        }
        info.m_received += count;
        CResult progress = transfer.OnProgress(static_cast<uint64_t>(start) + info.m_received,
                                               static_cast<uint64_t>(info.m_totalSize));
        if (progress.Failed()) return progress;
    }
}

}  // namespace

bool IsRangeRefusal(const CResult& result) {
    return result.m_code >= kFirstRangeCode && result.m_code <= kLastRangeCode;
}

void CDownloaderBase::OnBytesRead(DWORD) {}

CResult CWinInet::Request(const std::wstring& url, const CProxyCredentials* credentials, int64_t start, int64_t end,
                          CResponseInfo* record, const std::wstring& userAgent) {
    CCrackedUrl cracked;
    CResult crackedResult = CrackUrl(url, cracked);
    if (crackedResult.Failed()) return crackedResult;
    std::string extraInfo = ToAnsi(cracked.m_extraInfo);
    return PerformRequest(cracked.m_hostName, cracked.m_urlPath, extraInfo.c_str(),
                          cracked.m_scheme == INTERNET_SCHEME_HTTPS, credentials, cracked.m_port, start, end, record,
                          userAgent);
}

CResult CWinInet::PerformRequest(const std::wstring& hostName, const std::wstring& urlPath, const char* extraInfo,
                                 bool secure, const CProxyCredentials* credentials, INTERNET_PORT port,
                                 int64_t start, int64_t end, CResponseInfo* record, const std::wstring& userAgent) {
    RaiseConnectionLimits();
    CResponseInfo localRecord;
    CResponseInfo& info = record != nullptr ? *record : localRecord;
    info = CResponseInfo();

    bool ranged = end != kNoRangeEnd;
    if (!ranged && start != 0) return CResult(E_FAIL, 93);
    if (ranged && start > end) return CResult(E_FAIL, 91);
    if (extraInfo != nullptr && extraInfo[0] == '?') ++extraInfo;

    CResult progress = OnProgress(static_cast<uint64_t>(start), 0);
    if (progress.Failed()) return Propagate(progress, 106);

    InternetHandle internet(OpenInternet(userAgent));
    if (!internet) return CResult::FromLastError(120);
    std::wstring objectName = urlPath;
    if (extraInfo != nullptr && extraInfo[0] != '\0') objectName += L"?" + WidenAnsi(extraInfo);
    std::wstring headers = ranged ? Format(L"Range: bytes=%I64d-%I64d\r\n", start, end) : std::wstring();
    bool ifRange = ranged && !m_ifRange.empty();
    if (ifRange) headers += L"If-Range: " + m_ifRange + L"\r\n";
    CHopHandles hop;
    CResult sent = SendFollowingRedirects(*this, internet.get(),
                                          CRequestTarget{hostName, objectName, PortOrDefault(port, secure), secure},
                                          headers, credentials, hop, info);
    if (sent.Failed()) return sent;
    CResult checked = CheckResponseHeaders(hop.request.get(), ranged, ifRange, start, end, info);
    if (checked.Failed()) return checked;
    m_validator = info.m_validator;
    if (info.m_startedOver) {
        m_ifRange.clear();
        ranged = false;
        start = 0;
    }
    progress = OnProgress(static_cast<uint64_t>(start), static_cast<uint64_t>(info.m_totalSize));
    if (progress.Failed()) return progress;
    return ReadBody(*this, hop.request.get(), ranged, start, end, info);
}

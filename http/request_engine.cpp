// CWinInet: one HTTP(S) GET from start to end on synchronous WinINet handles.
#include <cstdint>
#include <cwchar>
#include <memory>
#include <new>

#include "foundation/text.h"
#include "http/connection.h"
#include "http/cracked_url.h"
#include "http/transfer.h"

namespace {

constexpr DWORD kChunkSize = 4096;
constexpr DWORD kHeaderBytes = 520;
constexpr DWORD kProxyAuthenticationRequired = 407;
constexpr DWORD kPartialContent = 206;
constexpr DWORD kLowestStatus = 100;   // a status is three digits
constexpr DWORD kHighestStatus = 999;

// A header's text, or false when it is absent (or does not fit).
bool QueryHeader(HINTERNET request, DWORD query, wchar_t (&text)[kHeaderBytes / sizeof(wchar_t)]) {
    std::wmemset(text, 0, kHeaderBytes / sizeof(wchar_t));
    DWORD size = kHeaderBytes;
    return HttpQueryInfoW(request, query, text, &size, nullptr) != FALSE;
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }
bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

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
    if (!IsDigit(*p)) return CResult(E_FAIL, 256);
    int64_t value = 0;
    for (; IsDigit(*p); ++p) {
        int digit = *p - L'0';
        if (value > (INT64_MAX - digit) / 10) return CResult(E_FAIL, 256);
        value = value * 10 + digit;
    }
    while (IsBlank(*p)) ++p;
    if (*p != L'\0') return CResult(E_FAIL, 256);
    info.m_contentLength = value;
    return CResult();
}

// A range request must be answered with exactly the span asked for.
CResult VerifyRange(HINTERNET request, int64_t start, int64_t end, CResponseInfo& info) {
    if (info.m_status != kPartialContent) return CResult(E_FAIL, 306, Format(L"%d", static_cast<int>(info.m_status)));
    if (info.m_contentLength != 0 && info.m_contentLength != end - start + 1) return CResult(E_FAIL, 310);
    wchar_t text[kHeaderBytes / sizeof(wchar_t)];
    if (!QueryHeader(request, HTTP_QUERY_CONTENT_RANGE, text)) return CResult::FromLastError(318);
    long long first = 0, last = 0, total = 0;
    if (std::swscanf(text, L"bytes %I64d-%I64d/%I64d", &first, &last, &total) < 3) return CResult(E_FAIL, 322);
    info.m_totalSize = total;
    if (first > last) return CResult(E_FAIL, 324);
    if (last >= total) return CResult(E_FAIL, 325);
    if (first != start) return CResult(E_FAIL, 326);
    if (last != end) return CResult(E_FAIL, 327);
    return CResult();
}

}  // namespace

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
    if (port == 0) port = secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
    InternetHandle connection(OpenConnection(internet.get(), hostName, port, secure));
    if (!connection) return CResult::FromLastError(143);
    std::wstring objectName = urlPath;
    if (extraInfo != nullptr && extraInfo[0] != '\0') objectName += L"?" + WidenAnsi(extraInfo);
    InternetHandle request(OpenGetRequest(connection.get(), objectName, secure));
    if (!request) return CResult::FromLastError(175);

    std::wstring headers = ranged ? Format(L"Range: bytes=%I64d-%I64d\r\n", start, end) : std::wstring();
    bool credentialsApplied = false;
    if (credentials != nullptr) {
        CResult applied = ApplyProxyCredentials(*credentials, request.get());
        if (applied.Failed()) return applied;
        credentialsApplied = true;
    }
    for (;;) {
        if (!HttpSendRequestW(request.get(), headers.empty() ? nullptr : headers.c_str(),
                              static_cast<DWORD>(headers.size()), nullptr, 0)) {
            return CResult::FromLastError(215);
        }
        DWORD status = 0;
        DWORD size = sizeof status;
        // A connection closed without any answer leaves some WinINet
        // implementations with "status 0" and an empty body: that is no
        // status line, not a response.
        if (!HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                            nullptr) ||
            status < kLowestStatus || status > kHighestStatus) {
            return CResult(E_FAIL, 221);
        }
        info.m_status = status;
        if (status != kProxyAuthenticationRequired) break;
        if (credentialsApplied) return CResult(E_FAIL, 227, L"Proxy authentication failed");
        CProxyCredentials supplied;
        if (!GetProxyCredentials(supplied)) return CResult(E_ABORT, 234, L"Proxy authentication");
        // The challenged handle is not sent again: a fresh one with the same
        // object name, flags and headers carries the credentials. (Sending
        // the same handle again turns an HTTPS request through the proxy
        // into a plain GET under some WinINet implementations.)
        request.reset(OpenGetRequest(connection.get(), objectName, secure));
        if (!request) return CResult::FromLastError(175);
        CResult applied = ApplyProxyCredentials(supplied, request.get());
        if (applied.Failed()) return applied;
        credentialsApplied = true;
    }

    CResult length = ReadContentLength(request.get(), info);
    if (length.Failed()) return length;
    if (ranged) {
        CResult range = VerifyRange(request.get(), start, end, info);
        if (range.Failed()) return range;
    } else {
        info.m_totalSize = info.m_contentLength;
    }
    wchar_t lastModified[kHeaderBytes / sizeof(wchar_t)];
    if (QueryHeader(request.get(), HTTP_QUERY_LAST_MODIFIED, lastModified)) info.m_lastModified = lastModified;

    progress = OnProgress(static_cast<uint64_t>(start), static_cast<uint64_t>(info.m_totalSize));
    if (progress.Failed()) return progress;
    std::unique_ptr<unsigned char[]> chunk(new (std::nothrow) unsigned char[kChunkSize]);
    if (!chunk) return CResult(E_FAIL, 391);
    // A range request delivers exactly its span, whether or not the server
    // says how long its body is: more or fewer bytes would corrupt what is
    // resumed.
    uint64_t expected = ranged ? static_cast<uint64_t>(end - start + 1) : static_cast<uint64_t>(info.m_contentLength);
    info.m_received = 0;
    for (;;) {
        DWORD count = 0;
        if (!InternetReadFile(request.get(), chunk.get(), kChunkSize, &count)) return CResult::FromLastError(403);
        if (count == 0) {
            if (expected != 0 && info.m_received != expected) return CResult(E_FAIL, 448);
            return CResult();
        }
        if (ranged && info.m_received + count > expected) return CResult(E_FAIL, 448);
        OnBytesRead(count);
        CResult delivered = OnData(static_cast<uint64_t>(start) + info.m_received, chunk.get(), count);
        if (delivered.Failed()) return delivered;
        info.m_received += count;
        progress = OnProgress(static_cast<uint64_t>(start) + info.m_received, static_cast<uint64_t>(info.m_totalSize));
        if (progress.Failed()) return progress;
    }
}

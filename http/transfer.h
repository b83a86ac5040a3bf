// The transfer class tree: hooks (CDownloaderBase), the request engine that
// calls them (CWinInet), and the two concrete transfers: a size probe
// (CURLChecker) and a download with the progress bar and the proxy dialog
// (CDownloader), which keeps a small body such as the service's reply in
// memory. The installer's download (retrieval/installer_download.h) is a
// CDownloader that inflates its body into the installer file instead.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/proxy_credentials.h"
#include "foundation/result.h"
#include "http/response_info.h"

constexpr int64_t kNoRangeEnd = -1;

// What a transfer answers when a proxy asks for credentials (HTTP 407).
enum class ProxyAnswer {
    Supplied,   // the credentials to send were filled in
    NoneGiven,  // none to send (silent run, or the user cancelled): the request ends with 234
    GiveUp,     // the refused credentials are not replaced: the request ends with 227
};

class CDownloaderBase {
public:
    // Slot 0: the byte count of every chunk just read, before it is delivered.
    virtual void OnBytesRead(DWORD count);
    // Slot 1: after the request is prepared, after the headers and after
    // every chunk; a failure ends the request.
    virtual CResult OnProgress(uint64_t position, uint64_t total) = 0;
    // Slot 2: one chunk of body at `offset` of the resource. A failure ends
    // the transfer at once, without another attempt.
    virtual CResult OnData(uint64_t offset, const unsigned char* bytes, DWORD count) = 0;
    // Slot 3: after an HTTP 407. `refused` is null when the request carried
    // no credentials, else the credentials the proxy has just refused (which
    // must not be presented again).
    virtual ProxyAnswer GetProxyCredentials(CProxyCredentials& credentials, const CProxyCredentials* refused) = 0;

protected:
    ~CDownloaderBase() = default;
};

// A range request answered otherwise than asked (another status, span or
// total), which no request for the same range can mend.
bool IsRangeRefusal(const CResult& result);

class CWinInet : public CDownloaderBase {
public:
    // Slot 4: one request for a whole URL (cracked, then slot 5).
    virtual CResult Request(const std::wstring& url, const CProxyCredentials* credentials, int64_t start,
                            int64_t end, CResponseInfo* record, const std::wstring& userAgent);
    // Slot 5: the request engine: one GET, optional byte range (end -1 for
    // none), one proxy challenge, header checks and 4096-byte delivery.
    virtual CResult PerformRequest(const std::wstring& hostName, const std::wstring& urlPath, const char* extraInfo,
                                   bool secure, const CProxyCredentials* credentials, INTERNET_PORT port,
                                   int64_t start, int64_t end, CResponseInfo* record,
                                   const std::wstring& userAgent);

    // Sent as If-Range with a range request (empty: not sent). A server
    // whose resource no longer matches it answers with the whole resource,
    // which is then delivered from offset 0 (CResponseInfo::m_startedOver);
    // the validator is cleared then, so that later attempts resume the new
    // body with plain ranges.
    std::wstring m_ifRange;
    // The validator of the body being delivered (CResponseInfo::m_validator),
    // set with each response's headers, before its first OnData.
    std::wstring m_validator;

protected:
    ~CWinInet() = default;
};

// Learns a resource's size and aborts before its body.
class CURLChecker : public CWinInet {
public:
    CResult OnProgress(uint64_t position, uint64_t total) override;
    CResult OnData(uint64_t offset, const unsigned char* bytes, DWORD count) override;
    // Never asks: a refusal of the run's credentials ends the probe (227).
    ProxyAnswer GetProxyCredentials(CProxyCredentials& credentials, const CProxyCredentials* refused) override;

    int64_t m_knownSize = 0;
};

// How a download asks the user for proxy credentials: the launcher installs
// its proxy dialog here before any transfer; where nothing is installed
// (tools, tests), nobody is asked. `refusedUserName` (empty: none) stands in
// the user-name field. True when the user gave credentials, in `entered`.
using ProxyCredentialsPrompt = bool (*)(HWND parent, const std::wstring& refusedUserName,
                                        CProxyCredentials& entered);
void SetProxyCredentialsPrompt(ProxyCredentialsPrompt prompt);

// Collects the body in memory (reserved whole once the total size is
// known) and moves the progress bar of `m_hWnd`. A download that keeps its
// body elsewhere overrides OnData alone, and keeps the bar and the proxy
// dialog.
class CDownloader : public CWinInet {
public:
    CResult OnProgress(uint64_t position, uint64_t total) override;
    CResult OnData(uint64_t offset, const unsigned char* bytes, DWORD count) override;
    // The run's credentials; else, unless the run is silent, the prompt (the
    // proxy dialog; again after a refusal, with the refused user name, until
    // the run's third refusal).
    ProxyAnswer GetProxyCredentials(CProxyCredentials& credentials, const CProxyCredentials* refused) override;

    HWND m_hWnd = nullptr;
    std::vector<unsigned char> m_body;

protected:
    uint64_t m_total = 0;  // the resource's size, once the response announced it
};

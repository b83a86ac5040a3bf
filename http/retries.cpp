#include "http/retries.h"

#include "http/connection.h"

namespace {

// A failure that no further attempt may repeat: the request was told to stop
// (E_ABORT: the proxy dialog cancelled, no credentials in a silent run), or a
// proxy refused the credentials it carried and nothing replaced them. The
// proxy has answered, so this is no network fault, and presenting the same
// credentials again would cost the user another failed logon. Nor is a
// failure of the transfer's own OnData (a corrupt stream, a full disk) one
// that another attempt could mend.
bool EndsTransferAtOnce(const CResult& result, const CResponseInfo& attempt) {
    return result.m_hr == E_ABORT || attempt.m_credentialsRefused || attempt.m_refusedByReceiver;
}

}  // namespace

CResult RequestWithRetries(CWinInet& transfer, const std::wstring& url, const CProxyCredentials* credentials,
                           int64_t start, int64_t end, DWORD pauseMilliseconds, CResponseInfo* record) {
    int attemptsLeft = kAttemptsPerTransfer;
    for (;;) {
        --attemptsLeft;
        CResponseInfo attempt;
        std::wstring userAgent = GetUserAgent();
        CResult result = transfer.Request(url, credentials, start, end, &attempt, userAgent);
        if (record != nullptr) *record = attempt;
        if (result.Succeeded() || attemptsLeft == 0 || EndsTransferAtOnce(result, attempt)) return result;
        if (attempt.m_received != 0 && attempt.m_totalSize == 0) return CResult(E_FAIL, 248);
        if (attempt.m_received > kProgressThatRefillsAttempts) attemptsLeft = kAttemptsPerTransfer;
        if (attempt.m_startedOver) {  // the whole (changed) resource came instead of the range
            start = 0;
            end = attempt.m_totalSize != 0 ? attempt.m_totalSize - 1 : kNoRangeEnd;
        }
        start += static_cast<int64_t>(attempt.m_received);
        if (end == kNoRangeEnd && attempt.m_totalSize != 0) end = attempt.m_totalSize - 1;
        // Every byte asked for arrived before the attempt failed (say, a reset
        // after the last one): there is no range left to ask for.
        if (end != kNoRangeEnd && start > end) return result;
        Sleep(pauseMilliseconds);
    }
}

CResult QueryRemoteSize(const std::wstring& url, const CProxyCredentials* credentials, int64_t& size,
                        DWORD* status, std::wstring* lastModified) {
    size = 0;
    CURLChecker checker;
    CResponseInfo response;
    CResult result = checker.Request(url, credentials, 0, kNoRangeEnd, &response, GetUserAgent());
    if (status != nullptr) *status = response.m_status;
    if (lastModified != nullptr) *lastModified = response.m_lastModified;
    if (result.Succeeded()) return CResult(E_FAIL, 0);
    size = checker.m_knownSize;
    if (size != 0) return CResult();
    return result;
}

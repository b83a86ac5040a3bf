// CURLChecker: learns the size of a resource and ends the transfer before its body.
#include "http/transfer.h"

CResult CURLChecker::OnProgress(uint64_t position, uint64_t total) {
    if (total != 0) {
        m_knownSize = static_cast<int64_t>(total);
        return CResult(E_ABORT, 0);
    }
    if (position != 0) return CResult(E_ABORT, 0);  // one chunk read and still no size
    return CResult();
}

CResult CURLChecker::OnData(uint64_t, const unsigned char*, DWORD) { return CResult(); }

ProxyAnswer CURLChecker::GetProxyCredentials(CProxyCredentials&, const CProxyCredentials* refused) {
    return refused != nullptr ? ProxyAnswer::GiveUp : ProxyAnswer::NoneGiven;
}

#include "retrieval/installer_download.h"

#include "foundation/files.h"

namespace {
constexpr int kWriteFailed = 358;
constexpr int kCorruptStream = 86;
constexpr int kNothingUnpacked = 343;
}  // namespace

CResult CInstallerFileSink::Write(const unsigned char* bytes, size_t count) {
    CResult written = WriteToHandle(m_file, bytes, count);
    if (written.Failed()) return Propagate(written, kWriteFailed);
    return CResult();
}

CResult CInstallerFileSink::Truncate() {
    LARGE_INTEGER start = {};
    if (!SetFilePointerEx(m_file, start, nullptr, FILE_BEGIN) || !SetEndOfFile(m_file)) {
        return CResult::FromLastError(kWriteFailed);
    }
    return CResult();
}

CResult CInflatingDownloader::OnData(uint64_t offset, const unsigned char* bytes, DWORD count) {
    if (offset != m_next) {
        // Only a body that starts over can be taken: a gap or an overlap
        // would put wrong bytes into the installer.
        if (offset != 0) return CResult(E_FAIL, kCorruptStream);
        CResult emptied = m_file.Truncate();
        if (emptied.Failed()) return emptied;
        m_inflater.Reset();
        m_next = 0;
    }
    CResult fed = m_inflater.Feed(bytes, count);
    if (fed.Failed()) return fed;
    m_next += count;
    return CResult();
}

CResult CInflatingDownloader::Finish() const {
    CResult ended = m_inflater.Finish();
    if (ended.Failed()) return ended;
    if (m_inflater.produced() == 0) return CResult(E_FAIL, kNothingUnpacked);
    return CResult();
}

#include "retrieval/installer_download.h"

namespace {
constexpr int kNothingUnpacked = 343;

// The kept bytes of a partial go through the stream as downloaded ones do.
class CInflaterFeed : public CByteSink {
public:
    explicit CInflaterFeed(CInflater& inflater) : m_inflater(inflater) {}
    CResult Write(const unsigned char* bytes, size_t count) override { return m_inflater.Feed(bytes, count); }

private:
    CInflater& m_inflater;
};

}  // namespace

CResult CInflatingDownloader::StartOver() {
    CResult emptied = m_file.Truncate();
    if (emptied.Failed()) return emptied;
    m_inflater.Reset();
    m_next = 0;
    m_resumedTotal = 0;
    m_ifRange.clear();
    return CResult();
}

bool CInflatingDownloader::ResumeFromPartial(int64_t& start, int64_t& end) {
    if (m_partial == nullptr || m_partial->kept() == 0) return false;
    CInflaterFeed feed(m_inflater);
    if (m_partial->Replay(feed).Failed()) {
        StartOver();
        return false;
    }
    m_next = m_partial->kept();
    m_resumedTotal = static_cast<uint64_t>(m_partial->total());
    m_ifRange = m_partial->validator();
    start = static_cast<int64_t>(m_next);
    end = m_partial->total() - 1;
    CDownloader::OnProgress(m_next, m_resumedTotal);
    return true;
}

CResult CInflatingDownloader::OnProgress(uint64_t position, uint64_t total) {
    if (total != 0) {
        m_resumedTotal = 0;
    } else if (position != 0) {
        total = m_resumedTotal;  // a resumed request not yet answered: the bar stays where it was
    }
    return CDownloader::OnProgress(position, total);
}

CResult CInflatingDownloader::OnData(uint64_t offset, const unsigned char* bytes, DWORD count) {
    if (offset != m_next) {
        // Only a body that starts over can be taken: a gap or an overlap
        // would put wrong bytes into the installer.
        if (offset != 0) return CResult(E_FAIL, kCorruptStream);
        CResult restarted = StartOver();
        if (restarted.Failed()) return restarted;
    }
    if (m_next == 0 && m_partial != nullptr) m_partial->StartBody(static_cast<int64_t>(m_total), m_validator);
    CResult fed = m_inflater.Feed(bytes, count);
    if (fed.Failed()) return fed;
    if (m_partial != nullptr) m_partial->Append(bytes, count);
    m_next += count;
    return CResult();
}

CResult CInflatingDownloader::Finish() const {
    CResult ended = m_inflater.Finish();
    if (ended.Failed()) return ended;
    if (m_inflater.produced() == 0) return CResult(E_FAIL, kNothingUnpacked);
    return CResult();
}

// The installer's download, inflated into the installer file as it arrives:
// nothing of it is held in memory beyond one chunk and one inflated piece.
#pragma once

#include <windows.h>

#include <cstdint>

#include "foundation/result.h"
#include "http/transfer.h"
#include "retrieval/installer_file_sink.h"
#include "retrieval/partial_download.h"
#include "retrieval/unpack.h"

// A CDownloader (progress bar, proxy dialog) whose body goes through one
// inflate stream into the file, and is kept for the next run as it arrives
// (`partial`, optional). Each byte arrives once and in order, so the stream
// simply continues across resumed attempts; a body that starts over from
// byte 0 starts the stream, the file and the partial over. A failure of the
// stream or of the file ends the transfer at once (RequestWithRetries makes
// no further attempt).
class CInflatingDownloader : public CDownloader {
public:
    explicit CInflatingDownloader(HANDLE file, CPartialDownload* partial = nullptr)
        : m_file(file), m_inflater(m_file), m_partial(partial) {}

    // Goes on from what the partial kept: its bytes are inflated into the
    // file again and the bar shows them; the request for the rest (`start`
    // to `end`) carries the body's validator as If-Range. False when there
    // is nothing to go on from or it fails its checks: everything is then
    // as before any byte arrived.
    bool ResumeFromPartial(int64_t& start, int64_t& end);
    // Back to no byte received, for a download from zero.
    CResult StartOver();

    CResult OnProgress(uint64_t position, uint64_t total) override;
    CResult OnData(uint64_t offset, const unsigned char* bytes, DWORD count) override;

    // After the transfer: 86 unless the stream ended, 343 when it held nothing.
    CResult Finish() const;

private:
    CInstallerFileSink m_file;
    CInflater m_inflater;
    CPartialDownload* m_partial;
    uint64_t m_next = 0;           // offset of the next byte the stream expects
    uint64_t m_resumedTotal = 0;   // shown on the bar until the resumed request's answer
};

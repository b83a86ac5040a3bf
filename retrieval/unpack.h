// Inflating the downloaded installer as it arrives: one zlib or gzip stream
// (the header is detected), its output handed on in pieces of at most 1 MiB.
// Nothing here grows with the installer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "foundation/result.h"
#include "retrieval/byte_sink.h"

constexpr size_t kInflatePieceBytes = 1024 * 1024;
// Site code of a stream that is not a whole, well-formed zlib or gzip stream.
inline constexpr int kCorruptStream = 86;

class CInflater {
public:
    explicit CInflater(CByteSink& output);
    ~CInflater();
    CInflater(const CInflater&) = delete;
    CInflater& operator=(const CInflater&) = delete;

    // The next bytes of the compressed stream. A malformed stream, a wrong
    // header or a stream that needs a dictionary fails with {E_FAIL, 86} as
    // soon as zlib sees it; a failure of the output is passed on as it is.
    // Bytes after the stream's end are ignored.
    CResult Feed(const unsigned char* input, size_t length);
    // After the last byte: {E_FAIL, 86} unless the stream reached its end
    // (a cut or empty body). A failed Feed's failure stays the outcome.
    CResult Finish() const;
    // Back to a fresh stream, for a body that starts over from its first byte.
    void Reset();

    uint64_t produced() const { return m_produced; }  // bytes handed to the output

private:
    CResult Start();
    CResult Fail(const CResult& failure);

    struct Stream;
    std::unique_ptr<Stream> m_stream;
    std::unique_ptr<unsigned char[]> m_piece;
    CByteSink& m_output;
    CResult m_failure;
    uint64_t m_produced = 0;
    bool m_ended = false;
    bool m_failed = false;
};

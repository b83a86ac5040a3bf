#include "retrieval/unpack.h"

#include <zlib.h>

#include <new>

namespace {

constexpr int kAutoDetectHeader = 15 + 32;  // 32 KiB window, zlib or gzip header

CResult Corrupt() { return CResult(E_FAIL, kCorruptStream); }

}  // namespace

struct CInflater::Stream {
    z_stream z = {};
    bool initialised = false;
    ~Stream() {
        if (initialised) inflateEnd(&z);
    }
};

CInflater::CInflater(CByteSink& output) : m_output(output) {}

CInflater::~CInflater() = default;

CResult CInflater::Start() {
    m_stream.reset(new (std::nothrow) Stream);
    m_piece.reset(new (std::nothrow) unsigned char[kInflatePieceBytes]);
    if (!m_stream || !m_piece) return Corrupt();  // zlib out of memory is a failed unpack too
    if (inflateInit2(&m_stream->z, kAutoDetectHeader) != Z_OK) return Corrupt();
    m_stream->initialised = true;
    return CResult();
}

CResult CInflater::Feed(const unsigned char* input, size_t length) {
    if (m_failed) return m_failure;
    if (m_ended || length == 0) return CResult();  // bytes after the stream's end are ignored
    if (!m_stream) {
        CResult started = Start();
        if (started.Failed()) return Fail(started);
    }
    z_stream& z = m_stream->z;
    while (length != 0 && !m_ended) {
        // zlib counts in 32 bits: it is given at most a piece at a time.
        uInt piece = static_cast<uInt>(length < kInflatePieceBytes ? length : kInflatePieceBytes);
        z.next_in = const_cast<Bytef*>(input);
        z.avail_in = piece;
        do {
            z.next_out = m_piece.get();
            z.avail_out = static_cast<uInt>(kInflatePieceBytes);
            int status = inflate(&z, Z_NO_FLUSH);
            // Z_BUF_ERROR: no progress was possible, which only happens once this input is used up.
            if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) return Fail(Corrupt());
            size_t out = kInflatePieceBytes - z.avail_out;
            if (out != 0) {
                CResult written = m_output.Write(m_piece.get(), out);
                if (written.Failed()) return Fail(written);
                m_produced += out;
            }
            m_ended = status == Z_STREAM_END;
            if (status == Z_BUF_ERROR) break;
        } while (!m_ended && (z.avail_in != 0 || z.avail_out == 0));
        input += piece;
        length -= piece;
    }
    return CResult();
}

CResult CInflater::Finish() const {
    if (m_failed) return m_failure;
    if (!m_ended) return Corrupt();  // a cut or empty body
    return CResult();
}

CResult CInflater::Fail(const CResult& failure) {
    m_failed = true;
    m_failure = failure;
    return failure;
}

void CInflater::Reset() {
    m_stream.reset();
    m_produced = 0;
    m_ended = m_failed = false;
}

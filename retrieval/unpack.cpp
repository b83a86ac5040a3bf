#include "retrieval/unpack.h"

#include <zlib.h>

namespace {

constexpr int kAutoDetectHeader = 15 + 32;  // 32 KiB window, zlib or gzip header

// Owns an initialised inflate stream.
class InflateStream {
public:
    InflateStream() : m_stream() {}
    ~InflateStream() {
        if (m_initialised) inflateEnd(&m_stream);
    }
    InflateStream(const InflateStream&) = delete;
    InflateStream& operator=(const InflateStream&) = delete;

    int Init(const unsigned char* input, uInt inputLength, unsigned char* output, uInt outputLength) {
        m_stream.next_in = const_cast<Bytef*>(input);
        m_stream.avail_in = inputLength;
        m_stream.next_out = output;
        m_stream.avail_out = outputLength;
        int status = inflateInit2(&m_stream, kAutoDetectHeader);
        m_initialised = status == Z_OK;
        return status;
    }
    int End() {
        m_initialised = false;
        return inflateEnd(&m_stream);
    }
    z_stream& stream() { return m_stream; }

private:
    z_stream m_stream;
    bool m_initialised = false;
};

}  // namespace

InflateOutcome InflateWhole(const unsigned char* input, size_t inputLength, unsigned char* output,
                            size_t outputLength, size_t& produced) {
    InflateStream inflater;
    if (inflater.Init(input, static_cast<uInt>(inputLength), output, static_cast<uInt>(outputLength)) != Z_OK) {
        return InflateOutcome::Corrupt;
    }
    int status = inflate(&inflater.stream(), Z_FINISH);
    produced = inflater.stream().total_out;
    if (status == Z_STREAM_END) return inflater.End() == Z_OK ? InflateOutcome::Done : InflateOutcome::Corrupt;
    // As a one-shot uncompress maps it: the output ran out while input was
    // left, so a bigger buffer may do; out of input, the stream is cut short.
    bool inputLeft = inflater.stream().avail_in != 0;
    if (status == Z_BUF_ERROR) return inputLeft ? InflateOutcome::OutputTooSmall : InflateOutcome::Corrupt;
    return status == Z_OK ? InflateOutcome::Done : InflateOutcome::Corrupt;
}

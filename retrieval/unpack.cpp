#include "retrieval/unpack.h"

#include <zlib.h>

#include <limits>
#include <new>

namespace {

constexpr int kAutoDetectHeader = 15 + 32;  // 32 KiB window, zlib or gzip header
constexpr int kCorruptStream = 86;

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

// One complete decompression from the start of the input, with the result
// mapping of a one-shot uncompress: Z_BUF_ERROR means the output ran out.
int DecompressOnce(const unsigned char* input, uInt inputLength, unsigned char* output, uInt outputLength,
                   uLong& produced) {
    InflateStream inflater;
    int status = inflater.Init(input, inputLength, output, outputLength);
    if (status != Z_OK) return status;
    status = inflate(&inflater.stream(), Z_FINISH);
    if (status == Z_STREAM_END) {
        produced = inflater.stream().total_out;
        return inflater.End();
    }
    bool inputLeft = inflater.stream().avail_in != 0;
    inflater.End();
    if (status == Z_NEED_DICT) return Z_DATA_ERROR;
    if (status == Z_BUF_ERROR && !inputLeft) return Z_DATA_ERROR;
    return status;
}

}  // namespace

CResult UnpackInstaller(const unsigned char* input, size_t inputLength, UnpackedBytes& output,
                        int* attempts) {
    constexpr size_t kMaxCapacity = std::numeric_limits<uInt>::max();
    if (attempts != nullptr) *attempts = 0;
    if (inputLength > (kMaxCapacity - 1) / 6) throw std::bad_alloc();
    size_t capacity = inputLength * 6 + 1;
    for (;;) {
        output.clear();  // nothing of a failed pass is kept: no copy on growth
        output.resize(capacity);
        if (attempts != nullptr) ++*attempts;
        uLong produced = 0;
        int status = DecompressOnce(input, static_cast<uInt>(inputLength), output.data(),
                                    static_cast<uInt>(output.size()), produced);
        if (status == Z_BUF_ERROR) {
            // zlib counts in 32 bits: an installer that large cannot be held anyway.
            if (output.size() > kMaxCapacity / 2) throw std::bad_alloc();
            capacity = output.size() * 2;
            continue;
        }
        if (status != Z_OK) return CResult(E_FAIL, kCorruptStream);
        output.resize(produced);
        return CResult();
    }
}

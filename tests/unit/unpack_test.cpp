#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "retrieval/unpack.h"

namespace {

using Bytes = std::vector<unsigned char>;

// windowBits 15: zlib header; 31: gzip header; -15: raw deflate.
Bytes Compress(const Bytes& data, int windowBits) {
    z_stream stream = {};
    EXPECT_EQ(deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 9, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&stream, static_cast<uLong>(data.size())) + 64);
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// Bytes that compress to about 1/ratio of their size: random bytes from an
// alphabet whose size sets the entropy, with runs mixed in.
Bytes Compressible(size_t size, int alphabet, unsigned seed) {
    std::mt19937 random(seed);
    Bytes data(size);
    for (auto& b : data) b = static_cast<unsigned char>('A' + random() % alphabet);
    return data;
}

CResult Unpack(const Bytes& input, Bytes& output, int* attempts = nullptr) {
    UnpackedBytes unpacked(output.begin(), output.end());
    CResult result = UnpackInstaller(input.data(), input.size(), unpacked, attempts);
    output.assign(unpacked.begin(), unpacked.end());
    return result;
}

// Compresses `original` (zlib), checks that its ratio lies in the range the
// case is about, and that it unpacks exactly in the given number of passes.
void ExpectPasses(const Bytes& original, double minRatio, double maxRatio, int passes) {
    Bytes packed = Compress(original, 15);
    double ratio = static_cast<double>(original.size()) / packed.size();
    ASSERT_GT(ratio, minRatio);
    ASSERT_LT(ratio, maxRatio);
    Bytes output;
    int attempts = 0;
    ASSERT_EQ(Unpack(packed, output, &attempts).m_hr, S_OK);
    EXPECT_EQ(attempts, passes);
    EXPECT_EQ(output, original);
}

TEST(UnpackInstaller, ModerateRatioUnpacksInOneAttempt) {
    // log2(10)/8: about 2.4:1 after entropy coding; 6x+1 holds it.
    ExpectPasses(Compressible(1 << 20, 10, 1), 2.0, 4.0, 1);
}

TEST(UnpackInstaller, TwentyfoldExpansionNeedsThreeAttempts) {
    // 6x+1, then 12x+2, then 24x+4: more than two doublings are needed, three suffice.
    std::mt19937 random(7);
    Bytes original(4 << 20);
    for (auto& b : original) b = (random() % 60 == 0) ? static_cast<unsigned char>(random() % 256) : 'x';
    ExpectPasses(original, 12.0, 24.0, 3);
}

TEST(UnpackInstaller, GzipUnpacksLikeZlib) {
    Bytes original = Compressible(200000, 40, 3);
    Bytes fromZlib, fromGzip;
    ASSERT_EQ(Unpack(Compress(original, 15), fromZlib).m_hr, S_OK);
    ASSERT_EQ(Unpack(Compress(original, 31), fromGzip).m_hr, S_OK);
    EXPECT_EQ(fromZlib, original);
    EXPECT_EQ(fromGzip, original);
}

TEST(UnpackInstaller, AnEmptyStreamUnpacksToNothing) {
    Bytes output(5, 1);
    ASSERT_EQ(Unpack(Compress(Bytes(), 15), output).m_hr, S_OK);
    EXPECT_TRUE(output.empty());
}

TEST(UnpackInstaller, BadStreamsFailWith86) {
    Bytes original = Compressible(100000, 20, 4);
    Bytes packed = Compress(original, 15);
    Bytes truncated(packed.begin(), packed.begin() + packed.size() / 2);
    Bytes badChecksum = packed;
    badChecksum.back() ^= 1;
    Bytes withoutTrailer(packed.begin(), packed.end() - 4);
    Bytes notCompressed(original.begin(), original.begin() + 1000);
    for (const Bytes& bad : {Compress(original, -15), truncated, badChecksum, withoutTrailer, notCompressed, Bytes()}) {
        Bytes output;
        CResult result = Unpack(bad, output);
        EXPECT_EQ(result.m_hr, E_FAIL);
        EXPECT_EQ(result.m_code, 86);
        EXPECT_TRUE(result.m_message.empty());
    }
}

TEST(UnpackInstaller, ADictionaryStreamFailsWith86) {
    Bytes original = Compressible(10000, 20, 5);
    z_stream stream = {};
    ASSERT_EQ(deflateInit(&stream, 6), Z_OK);
    const char dictionary[] = "AAAABBBBCCCC";
    deflateSetDictionary(&stream, reinterpret_cast<const Bytef*>(dictionary), sizeof dictionary - 1);
    Bytes packed(20000);
    stream.next_in = original.data();
    stream.avail_in = static_cast<uInt>(original.size());
    stream.next_out = packed.data();
    stream.avail_out = static_cast<uInt>(packed.size());
    ASSERT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    packed.resize(stream.total_out);
    deflateEnd(&stream);
    Bytes output;
    EXPECT_EQ(Unpack(packed, output).m_code, 86);
}

TEST(UnpackInstaller, MutatedStreamsOnlySucceedOrFailWith86) {
    Bytes original = Compressible(20000, 30, 6);
    Bytes packed = Compress(original, 15);
    std::mt19937 random(42);
    for (int round = 0; round < 2000; ++round) {
        Bytes mutated = packed;
        int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits; ++e) {
            size_t at = random() % mutated.size();
            if (random() % 3) {
                mutated[at] ^= static_cast<unsigned char>(1u << (random() % 8));
            } else {
                mutated.resize(at + 1);
            }
        }
        Bytes output;
        CResult result = Unpack(mutated, output);
        ASSERT_TRUE(result.m_hr == S_OK || result.m_code == 86) << result.m_code;
    }
}

// A buffer whose allocations above a cap fail, and whose largest size can be
// capped too: what a 32-bit process meets with a large installer.
struct Caps {
    size_t allocation = SIZE_MAX;
    size_t maxSize = SIZE_MAX;
};
Caps g_caps;

template <typename T>
struct CappedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = CappedAllocator<U>;
    };
    CappedAllocator() = default;
    template <typename U>
    CappedAllocator(const CappedAllocator<U>&) noexcept {}
    T* allocate(size_t count) {
        if (count * sizeof(T) > g_caps.allocation) throw std::bad_alloc();
        return std::allocator<T>::allocate(count);
    }
    size_t max_size() const noexcept { return g_caps.maxSize; }
};
using CappedBytes = std::vector<unsigned char, CappedAllocator<unsigned char>>;

Bytes Incompressible(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    Bytes data(size);
    for (auto& b : data) b = static_cast<unsigned char>(random());
    return data;
}

TEST(UnpackInstaller, AFirstBufferOutOfReachStartsOverFromInputPlusOne) {
    Bytes original = Incompressible(1 << 20, 8);
    Bytes packed = Compress(original, 15);
    // 6x+1 refused by the allocation, then by the buffer's largest size.
    for (Caps caps : {Caps{packed.size() * 2, SIZE_MAX}, Caps{SIZE_MAX, packed.size() * 3}}) {
        g_caps = caps;
        CappedBytes output;
        int attempts = 0;
        ASSERT_EQ(UnpackInto(packed.data(), packed.size(), output, &attempts).m_hr, S_OK);
        EXPECT_EQ(attempts, 1);
        EXPECT_TRUE(std::equal(output.begin(), output.end(), original.begin(), original.end()));
    }
    // From there it grows by doubling: a 2.4:1 stream needs x+1, 2x+2, then 4x+4.
    Bytes compressible = Compressible(1 << 20, 10, 1);
    Bytes small = Compress(compressible, 15);
    g_caps = Caps{small.size() * 5, SIZE_MAX};
    CappedBytes output;
    int attempts = 0;
    ASSERT_EQ(UnpackInto(small.data(), small.size(), output, &attempts).m_hr, S_OK);
    EXPECT_EQ(attempts, 3);
    EXPECT_TRUE(std::equal(output.begin(), output.end(), compressible.begin(), compressible.end()));
    // Not even input + 1 bytes to be had: the buffer's own failure.
    g_caps = Caps{packed.size(), SIZE_MAX};
    EXPECT_THROW(UnpackInto(packed.data(), packed.size(), output), std::bad_alloc);
    g_caps = Caps{};
}

}  // namespace

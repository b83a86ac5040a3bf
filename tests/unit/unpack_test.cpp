#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <utility>
#include <string>
#include <vector>

#include "foundation/handles.h"
#include "retrieval/installer_download.h"
#include "retrieval/unpack.h"
#include "test_folder.h"

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

// Collects what the inflater hands on; fails when told to.
class MemorySink : public CByteSink {
public:
    CResult Write(const unsigned char* bytes, size_t count) override {
        largestPiece = std::max(largestPiece, count);
        if (failAfter != SIZE_MAX && bytes_.size() + count > failAfter) return CResult(E_FAIL, 515);
        bytes_.insert(bytes_.end(), bytes, bytes + count);
        return CResult();
    }
    Bytes bytes_;
    size_t largestPiece = 0;
    size_t failAfter = SIZE_MAX;
};

// Feeds `input` in chunks of `chunk` bytes, as a download delivers it, then
// finishes; stops at the first failure. `fed` receives the bytes fed.
CResult Unpack(const Bytes& input, Bytes& output, size_t chunk = 4096, size_t* fed = nullptr) {
    MemorySink sink;
    CInflater inflater(sink);
    CResult result;
    size_t at = 0;
    while (at < input.size() && result.Succeeded()) {
        size_t count = std::min(chunk, input.size() - at);
        result = inflater.Feed(input.data() + at, count);
        at += count;
    }
    if (result.Succeeded()) result = inflater.Finish();
    if (fed != nullptr) *fed = at;
    output = sink.bytes_;
    EXPECT_EQ(inflater.produced(), output.size());
    return result;
}

TEST(Inflater, WholeStreamsInAnyChunkingInPiecesOfAtMostOneMebibyteAndTrailingBytesIgnored) {
    // A 20:1 stream of 4 MiB: the inflated pieces are bounded, whatever the input chunks.
    std::mt19937 random(7);
    Bytes original(4 << 20);
    for (auto& b : original) b = (random() % 60 == 0) ? static_cast<unsigned char>(random() % 256) : 'x';
    Bytes packed = Compress(original, 15);
    for (size_t chunk : {size_t{1}, size_t{4096}, packed.size()}) {
        MemorySink sink;
        CInflater inflater(sink);
        for (size_t at = 0; at < packed.size(); at += chunk) {
            ASSERT_EQ(inflater.Feed(packed.data() + at, std::min(chunk, packed.size() - at)).m_hr, S_OK);
        }
        ASSERT_EQ(inflater.Finish().m_hr, S_OK);
        EXPECT_EQ(sink.bytes_, original);
        EXPECT_LE(sink.largestPiece, kInflatePieceBytes);
    }
    // Bytes after the stream's end are ignored, as a one-shot inflate ignores them.
    Bytes trailing = packed;
    trailing.insert(trailing.end(), {'j', 'u', 'n', 'k'});
    Bytes output;
    ASSERT_EQ(Unpack(trailing, output).m_hr, S_OK);
    EXPECT_EQ(output, original);
}

TEST(Inflater, GzipUnpacksLikeZlib) {
    Bytes original = Compressible(200000, 40, 3);
    Bytes fromZlib, fromGzip;
    ASSERT_EQ(Unpack(Compress(original, 15), fromZlib).m_hr, S_OK);
    ASSERT_EQ(Unpack(Compress(original, 31), fromGzip).m_hr, S_OK);
    EXPECT_EQ(fromZlib, original);
    EXPECT_EQ(fromGzip, original);
}

TEST(Inflater, AnEmptyStreamUnpacksToNothing) {
    Bytes output(5, 1);
    ASSERT_EQ(Unpack(Compress(Bytes(), 15), output).m_hr, S_OK);
    EXPECT_TRUE(output.empty());
}

TEST(Inflater, BadStreamsFailWith86) {
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

TEST(Inflater, ADictionaryStreamFailsWith86) {
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

TEST(Inflater, MutatedStreamsOnlySucceedOrFailWith86) {
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

TEST(Inflater, ACorruptStreamFailsAsSoonAsItIsSeenAndAFailingOutputIsPassedOn) {
    Bytes original = Compressible(1 << 20, 20, 9);
    Bytes packed = Compress(original, 15);
    Bytes corrupt = packed;
    std::fill(corrupt.begin() + 1000, corrupt.begin() + 1256, 0xFF);
    Bytes output;
    size_t fed = 0;
    EXPECT_EQ(Unpack(corrupt, output, 4096, &fed).m_code, 86);
    EXPECT_LT(fed, packed.size() / 2) << "the rest need not be downloaded";

    MemorySink sink;
    sink.failAfter = 100000;
    CInflater inflater(sink);
    CResult failed = inflater.Feed(packed.data(), packed.size());
    EXPECT_EQ(std::make_pair(failed.m_hr, failed.m_code), std::make_pair(E_FAIL, 515));
    EXPECT_EQ(inflater.Feed(packed.data(), 1).m_code, 515) << "and stays the outcome";
    EXPECT_EQ(inflater.Finish().m_code, 515);

    // A body that starts over is a fresh stream.
    inflater.Reset();
    sink.failAfter = SIZE_MAX;
    sink.bytes_.clear();
    ASSERT_EQ(inflater.Feed(packed.data(), packed.size()).m_hr, S_OK);
    ASSERT_EQ(inflater.Finish().m_hr, S_OK);
    EXPECT_EQ(sink.bytes_, original);
}

TEST(InflatingDownloader, ABodyThatStartsOverStartsTheFileOverAndAGapIsRefused) {
    TestFolder folder;
    std::wstring path = folder / L"Quillo.exe";
    Bytes original = Compressible(300000, 20, 11);
    Bytes packed = Compress(original, 31);
    size_t half = packed.size() / 2;
    {
        UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        CInflatingDownloader download(file.get());
        ASSERT_EQ(download.OnData(0, packed.data(), static_cast<DWORD>(half)).m_hr, S_OK);
        EXPECT_EQ(download.Finish().m_code, 86) << "cut short";
        ASSERT_EQ(download.OnData(0, packed.data(), static_cast<DWORD>(half)).m_hr, S_OK);   // from the start again
        ASSERT_EQ(download.OnData(half, packed.data() + half, static_cast<DWORD>(packed.size() - half)).m_hr, S_OK);
        ASSERT_EQ(download.Finish().m_hr, S_OK);
    }
    EXPECT_EQ(TestFolder::Read(path), std::string(original.begin(), original.end()));

    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    CInflatingDownloader download(file.get());
    ASSERT_EQ(download.OnData(0, packed.data(), 100).m_hr, S_OK);
    EXPECT_EQ(download.OnData(101, packed.data() + 101, 100).m_code, 86) << "a byte missing";
    Bytes empty = Compress(Bytes(), 15);
    CInflatingDownloader nothing(file.get());
    ASSERT_EQ(nothing.OnData(0, empty.data(), static_cast<DWORD>(empty.size())).m_hr, S_OK);
    CResult finished = nothing.Finish();
    EXPECT_EQ(std::make_pair(finished.m_hr, finished.m_code), std::make_pair(E_FAIL, 343));
}

}  // namespace

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "foundation/text.h"
#include "retrieval/file_identity.h"
#include "retrieval/sha1.h"

namespace {

std::wstring Hex(SHA1& sha) {
    uint32_t words[5];
    if (!sha.GetDigest(words)) return L"corrupted";
    return Format(L"%08X%08X%08X%08X%08X", words[0], words[1], words[2], words[3], words[4]);
}

std::wstring Sha1Of(const std::string& message) {
    SHA1 sha;
    if (!message.empty()) sha.AddBytes(reinterpret_cast<const unsigned char*>(message.data()), message.size());
    return Hex(sha);
}

TEST(SHA1, StandardTestVectors) {
    EXPECT_EQ(Sha1Of("abc"), L"A9993E364706816ABA3E25717850C26C9CD0D89D");
    EXPECT_EQ(Sha1Of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              L"84983E441C3BD26EBAAE4AA1F95129E5E54670F1");
    EXPECT_EQ(Sha1Of(""), L"DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
}

TEST(SHA1, OneMillionAsInPieces) {
    SHA1 sha;
    std::string thousand(1000, 'a');
    for (int i = 0; i < 1000; ++i) sha.AddBytes(reinterpret_cast<const unsigned char*>(thousand.data()), 1000);
    EXPECT_EQ(Hex(sha), L"34AA973CD4C4DAA4F61EEB2BDBAD27316534016F");
}

TEST(SHA1, PaddingBoundaries) {
    // 55, 56 and 64 bytes: the length fits the last block, just does not, and a full block.
    EXPECT_EQ(Sha1Of(std::string(55, 'a')), L"C1C8BBDC22796E28C0E15163D20899B65621D65A");
    EXPECT_EQ(Sha1Of(std::string(56, 'a')), L"C2DB330F6083854C99D4B5BFB6E8F29F201BE699");
    EXPECT_EQ(Sha1Of(std::string(64, 'a')), L"0098BA824B5C16427BD7A1122A5A442A25EC644D");
}

TEST(SHA1, DigestIsFinalAndLaterBytesCorrupt) {
    SHA1 sha;
    sha.AddBytes(reinterpret_cast<const unsigned char*>("abc"), 3);
    EXPECT_EQ(Hex(sha), L"A9993E364706816ABA3E25717850C26C9CD0D89D");
    EXPECT_EQ(Hex(sha), L"A9993E364706816ABA3E25717850C26C9CD0D89D") << "the same words again";
    sha.AddBytes(reinterpret_cast<const unsigned char*>("d"), 1);
    EXPECT_EQ(Hex(sha), L"corrupted");
}

TEST(CacheName, IdentityTextWithAndWithoutLastModified) {
    EXPECT_EQ(CacheIdentityText(L"https://h/x.bin", 5000, L""), L"5000:https://h/x.bin");
    EXPECT_EQ(CacheIdentityText(L"https://h/x.bin", 5000, L"Tue, 01 Dec 2026 10:00:00 GMT"),
              L"5000:[Tue, 01 Dec 2026 10:00:00 GMT]:https://h/x.bin");
    EXPECT_EQ(CacheIdentityText(L"u", 8589934592LL, L""), L"8589934592:u");
}

// Expected names: sha1sum of the identity text's UTF-16LE bytes
// (printf %s TEXT | iconv -t UTF-16LE | sha1sum).
TEST(CacheName, HashesTheUtf16TextAsUpperCaseHex) {
    auto name = [](const wchar_t* url, int64_t size, const wchar_t* lastModified) {
        std::wstring text;
        EXPECT_EQ(ComputeCacheName(url, size, lastModified, text).m_hr, S_OK);
        return text;
    };
    EXPECT_EQ(name(L"https://h/x.bin", 5000, L""), L"C669C56F9DB6D2E23056DF8C9BDC7AA91BA1364D");
    EXPECT_EQ(name(L"https://h/x.bin", 5001, L""), L"44A6C3B5DA0AB307D60F091B10896E0A5BE78013");
    EXPECT_EQ(name(L"https://h/x.bin", 5000, L"Tue, 01 Dec 2026 10:00:00 GMT"),
              L"E43AD062F97BAF98D3157B4A2063902840FA21D3");
    EXPECT_EQ(name(L"https://h/y.bin", 5000, L""), L"76EACB2677923CD5FBA9391154B257B997501750");
}

TEST(MachineId, FortyUpperCaseHexDigitsStableAcrossCalls) {
    std::wstring first, second;
    CResult result = ComputeMachineId(first);
    if (result.m_code == 13) GTEST_SKIP() << "no network adapter: the identifier is left out";
    ASSERT_EQ(result.m_hr, S_OK);
    ASSERT_EQ(ComputeMachineId(second).m_hr, S_OK);
    EXPECT_EQ(first, second) << "the UUID's time fields do not enter it";
    ASSERT_EQ(first.size(), 40u);
    for (wchar_t c : first) EXPECT_TRUE((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F')) << first;
}

}  // namespace

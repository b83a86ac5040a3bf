#include "retrieval/file_identity.h"

#include <windows.h>
#include <rpc.h>

#include "foundation/text.h"
#include "retrieval/sha1.h"

namespace {

constexpr size_t kDigestTextLength = 40;
const wchar_t kHexDigits[] = L"0123456789ABCDEF";

// The digest as five words, "%08X" each (43: no digest, 45: formatting failed).
CResult DigestWordsText(SHA1& sha, std::wstring& text) {
    uint32_t words[5];
    if (!sha.GetDigest(words)) return CResult(E_FAIL, 43);
    text = Format(L"%08X%08X%08X%08X%08X", words[0], words[1], words[2], words[3], words[4]);
    if (text.size() != kDigestTextLength) return CResult(E_FAIL, 45);
    return CResult();
}

// The digest as its 20 bytes, each word big-endian (63: no digest).
CResult DigestBytes(SHA1& sha, unsigned char (&bytes)[20]) {
    uint32_t words[5];
    if (!sha.GetDigest(words)) return CResult(E_FAIL, 63);
    for (int i = 0; i < 20; ++i) bytes[i] = static_cast<unsigned char>(words[i / 4] >> (24 - 8 * (i % 4)));
    return CResult();
}

CResult HashText(const std::wstring& text, unsigned char (&digest)[20]) {
    SHA1 sha;
    std::string units;
    units.reserve(text.size() * 2);
    for (wchar_t c : text) {
        units += static_cast<char>(c & 0xFF);
        units += static_cast<char>((c >> 8) & 0xFF);
    }
    if (!units.empty()) sha.AddBytes(reinterpret_cast<const unsigned char*>(units.data()), units.size());
    CResult taken = DigestBytes(sha, digest);
    if (taken.Failed()) return Propagate(taken, 19);
    return CResult();
}

CResult HexText(const unsigned char (&digest)[20], std::wstring& text) {
    text.clear();
    for (unsigned char b : digest) {
        text += kHexDigits[b >> 4];
        text += kHexDigits[b & 0x0F];
    }
    if (text.size() != kDigestTextLength) return CResult(E_FAIL, 28);
    return CResult();
}

// SHA-1 of the text as 40 hex digits (27 hashing, 28 hex text).
CResult NameOfText(const std::wstring& text, std::wstring& name) {
    unsigned char digest[20];
    CResult hashed = HashText(text, digest);
    if (hashed.Failed()) return Propagate(hashed, 27);
    CResult written = HexText(digest, name);
    if (written.Failed()) return Propagate(written, 28);
    return CResult();
}

}  // namespace

CResult ComputeMachineId(std::wstring& identifier) {
    UUID uuid;
    RPC_STATUS status = UuidCreateSequential(&uuid);
    if (status != RPC_S_OK) return CResult(HResultFromError(static_cast<LONG>(status)), 13);
    SHA1 sha;
    sha.AddBytes(&uuid.Data4[2], 6);  // the node: the network adapter's address
    CResult formatted = DigestWordsText(sha, identifier);
    if (formatted.Failed()) return Propagate(formatted, 22);
    return CResult();
}

std::wstring CacheIdentityText(const std::wstring& downloadUrl, int64_t size, const std::wstring& lastModified) {
    if (lastModified.empty()) return Format(L"%I64d:%ws", size, downloadUrl.c_str());
    return Format(L"%I64d:[%ws]:%ws", size, lastModified.c_str(), downloadUrl.c_str());
}

CResult ComputeCacheName(const std::wstring& downloadUrl, int64_t size, const std::wstring& lastModified,
                         std::wstring& name) {
    return NameOfText(CacheIdentityText(downloadUrl, size, lastModified), name);
}

CResult ComputeUrlName(const std::wstring& downloadUrl, std::wstring& name) { return NameOfText(downloadUrl, name); }

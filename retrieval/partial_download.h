// What a download that ends without its whole body keeps for the next run:
// the compressed bytes received so far, in one file where cache entries
// live ("-<SHA-1 of the URL>.partial"), after a header that names the URL,
// the body's total size and validator, how many bytes are kept and their
// Adler-32. The header is rewritten only after the bytes it counts are
// written, and it carries its own checksum: a file cut at any moment is
// either usable up to what its header counts or recognisably unusable.
// It is trusted only as a cache entry is (private, a plain file, read
// through the handle that was checked), and kept in the temporary folder it
// is removed at the next restart.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/handles.h"
#include "foundation/private_access.h"
#include "foundation/result.h"
#include "retrieval/byte_sink.h"

// The suffix that tells a kept partial from a cache entry.
inline constexpr wchar_t kPartialSuffix[] = L".partial";

class CPartialDownload {
public:
    CPartialDownload() = default;
    ~CPartialDownload() { Keep(); }
    CPartialDownload(const CPartialDownload&) = delete;
    CPartialDownload& operator=(const CPartialDownload&) = delete;

    // Opens the partial of `url` in `folder` (which ends with a backslash),
    // or creates it with the private access. Never fails the run: a partial
    // that cannot be had is simply not kept. One that is not private is
    // deleted through its handle and replaced; one whose header does not
    // hold up, or names another URL, is emptied.
    void Open(const std::wstring& folder, const std::wstring& url, CPrivateAccess& access, bool inTemp);

    // What there is to go on from (kept 0: nothing).
    uint64_t kept() const { return m_kept; }
    int64_t total() const { return m_total; }
    const std::wstring& validator() const { return m_validator; }

    // Hands the kept bytes to `into` in pieces, checking their checksum.
    // On any failure (a short file, a wrong checksum, `into` refusing them)
    // the partial forgets them; the caller then starts from zero.
    CResult Replay(CByteSink& into);

    // The body starts (over) at its first byte: with a total and a strong
    // validator it is kept from here on; without either it cannot be
    // resumed and nothing is kept.
    void StartBody(int64_t total, const std::wstring& validator);
    // The next bytes of the body, after those kept.
    void Append(const unsigned char* bytes, size_t count);

    // The download ended without its whole body: what arrived is written
    // out for the next run (a partial holding nothing is removed).
    void Keep();
    // The download is complete, or what it kept is worthless: the file goes.
    void Discard();

private:
    bool ReadHeader();
    CResult ReplayKeptBytes(CByteSink& into);
    void StartKeeping();
    uint64_t DataOffset() const;  // where the kept bytes start
    void Forget();
    bool WriteAt(uint64_t offset, const void* bytes, size_t count);
    bool WriteHeader();
    void Flush();

    UniqueHandle m_file;
    std::wstring m_url;
    std::wstring m_validator;
    int64_t m_total = 0;
    uint64_t m_kept = 0;
    uint32_t m_checksum = 1;  // Adler-32 of the kept bytes
    bool m_keeping = false;   // bytes of the current body are being kept
    std::vector<unsigned char> m_pending;
};

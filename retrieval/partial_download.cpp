#include "retrieval/partial_download.h"

#include <zlib.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "foundation/files.h"
#include "retrieval/download_cache.h"
#include "retrieval/file_identity.h"
#include "retrieval/private_entry.h"

namespace {

// At the start of the file, then the URL and the validator (UTF-16), then
// the kept bytes.
struct CPartialHeader {
    char magic[8];
    uint64_t total;
    uint64_t kept;
    uint32_t keptChecksum;    // Adler-32 of the kept bytes
    uint32_t urlChars;
    uint32_t validatorChars;
    uint32_t headerChecksum;  // Adler-32 of all before it and of the two texts
};
static_assert(sizeof(CPartialHeader) == 40, "the header's layout is fixed on disk");

constexpr char kMagic[8] = {'L', 'C', 'P', 'A', 'R', 'T', '0', '1'};
constexpr uint32_t kMostValidatorChars = 1024;
constexpr size_t kFlushBytes = 256 * 1024;  // at most this much is lost to a kill
constexpr DWORD kReplayPieceBytes = 256 * 1024;
constexpr DWORD kPartialAccess = GENERIC_READ | GENERIC_WRITE | DELETE;
constexpr uint32_t kAdlerStart = 1;

uint32_t Adler(uint32_t running, const void* bytes, size_t count) {
    return static_cast<uint32_t>(adler32(running, static_cast<const Bytef*>(bytes), static_cast<uInt>(count)));
}

uint32_t HeaderChecksum(const CPartialHeader& header, const std::wstring& url, const std::wstring& validator) {
    uint32_t sum = Adler(kAdlerStart, &header, offsetof(CPartialHeader, headerChecksum));
    sum = Adler(sum, url.data(), url.size() * sizeof(wchar_t));
    return Adler(sum, validator.data(), validator.size() * sizeof(wchar_t));
}

bool ReadExactly(HANDLE file, void* bytes, DWORD count) {
    DWORD read = 0;
    return ReadFile(file, bytes, count, &read, nullptr) && read == count;
}

bool ReadText(HANDLE file, uint32_t chars, std::wstring& text) {
    text.assign(chars, L'\0');
    return ReadExactly(file, text.data(), static_cast<DWORD>(chars * sizeof(wchar_t)));
}

bool Seek(HANDLE file, uint64_t offset) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) != FALSE;
}

uint64_t TextBytes(const std::wstring& text) { return text.size() * sizeof(wchar_t); }

}  // namespace

void CPartialDownload::Open(const std::wstring& folder, const std::wstring& url, CPrivateAccess& access,
                            bool inTemp) {
    m_url = url;
    std::wstring name;
    if (ComputeUrlName(url, name).Failed()) return;
    std::wstring path = folder + kEntryPrefix + name + kPartialSuffix;
    bool found = false;
    if (OpenEntry(path, kPartialAccess, 0, m_file, found)) {
        if (IsPrivatePlainFile(access, m_file.get())) {
            if (!ReadHeader()) Forget();
            return;
        }
        DeleteOpenFile(m_file.get());  // not private: never read, replaced by a private one
        m_file.reset();
    } else if (found) {
        return;  // a folder, a file in use or out of reach: nothing is kept this time
    }
    m_file.reset(CreateFileW(path.c_str(), kPartialAccess, 0, access.attributes(), CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                             nullptr));
    if (m_file && inTemp) MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

bool CPartialDownload::ReadHeader() {
    CPartialHeader header;
    if (!ReadExactly(m_file.get(), &header, sizeof header) || std::memcmp(header.magic, kMagic, sizeof kMagic) != 0) {
        return false;
    }
    // The URL must be this download's: its length is known before anything is read.
    if (header.urlChars != m_url.size() || header.validatorChars == 0 || header.validatorChars > kMostValidatorChars) {
        return false;
    }
    std::wstring url, validator;
    if (!ReadText(m_file.get(), header.urlChars, url) || !ReadText(m_file.get(), header.validatorChars, validator) ||
        url != m_url || HeaderChecksum(header, url, validator) != header.headerChecksum) {
        return false;
    }
    if (header.total > static_cast<uint64_t>(INT64_MAX) || header.kept == 0 || header.kept >= header.total) {
        return false;
    }
    m_validator = validator;  // DataOffset() counts it from here on
    LARGE_INTEGER size;
    if (!GetFileSizeEx(m_file.get(), &size) || static_cast<uint64_t>(size.QuadPart) < DataOffset() + header.kept) {
        return false;  // cut short (Forget clears the validator again)
    }
    m_total = static_cast<int64_t>(header.total);
    m_kept = header.kept;
    m_checksum = header.keptChecksum;
    return true;
}

void CPartialDownload::Forget() {
    m_validator.clear();
    m_total = 0;
    m_kept = 0;
    m_checksum = kAdlerStart;
    m_keeping = false;
    m_pending.clear();
}

uint64_t CPartialDownload::DataOffset() const {
    return sizeof(CPartialHeader) + TextBytes(m_url) + TextBytes(m_validator);
}

CResult CPartialDownload::Replay(CByteSink& into) {
    CResult replayed = ReplayKeptBytes(into);
    if (replayed.Failed()) {
        Forget();
        return replayed;
    }
    StartKeeping();
    return CResult();
}

CResult CPartialDownload::ReplayKeptBytes(CByteSink& into) {
    std::unique_ptr<unsigned char[]> piece(new (std::nothrow) unsigned char[kReplayPieceBytes]);
    if (m_kept == 0 || !piece || !Seek(m_file.get(), DataOffset())) return CResult(E_FAIL, 0);
    uint32_t sum = kAdlerStart;
    for (uint64_t left = m_kept; left != 0;) {
        DWORD count = left < kReplayPieceBytes ? static_cast<DWORD>(left) : kReplayPieceBytes;
        if (!ReadExactly(m_file.get(), piece.get(), count)) return CResult(E_FAIL, 0);
        sum = Adler(sum, piece.get(), count);
        CResult written = into.Write(piece.get(), count);
        if (written.Failed()) return written;
        left -= count;
    }
    if (sum != m_checksum) return CResult(E_FAIL, 0);
    return CResult();
}

// From here on the body's bytes are kept, after those already counted.
void CPartialDownload::StartKeeping() {
    m_pending.reserve(kFlushBytes);
    m_keeping = m_pending.capacity() >= kFlushBytes;
}

void CPartialDownload::StartBody(int64_t total, const std::wstring& validator) {
    Forget();
    if (!m_file || total <= 0 || validator.empty() || validator.size() > kMostValidatorChars) return;
    m_total = total;
    m_validator = validator;
    if (!Seek(m_file.get(), 0) || !SetEndOfFile(m_file.get()) || !WriteHeader()) return;
    StartKeeping();
}

void CPartialDownload::Append(const unsigned char* bytes, size_t count) {
    if (!m_keeping) return;
    if (m_pending.size() + count > m_pending.capacity()) Flush();
    if (!m_keeping || count > m_pending.capacity()) {
        m_keeping = false;
        return;
    }
    m_pending.insert(m_pending.end(), bytes, bytes + count);
}

bool CPartialDownload::WriteAt(uint64_t offset, const void* bytes, size_t count) {
    return Seek(m_file.get(), offset) && WriteToHandle(m_file.get(), bytes, count).Succeeded();
}

// One write of the header and its texts, so that it is never found half old.
bool CPartialDownload::WriteHeader() {
    CPartialHeader header = {};
    std::memcpy(header.magic, kMagic, sizeof kMagic);
    header.total = static_cast<uint64_t>(m_total);
    header.kept = m_kept;
    header.keptChecksum = m_checksum;
    header.urlChars = static_cast<uint32_t>(m_url.size());
    header.validatorChars = static_cast<uint32_t>(m_validator.size());
    header.headerChecksum = HeaderChecksum(header, m_url, m_validator);
    std::vector<unsigned char> bytes(reinterpret_cast<const unsigned char*>(&header),
                                     reinterpret_cast<const unsigned char*>(&header + 1));
    bytes.insert(bytes.end(), reinterpret_cast<const unsigned char*>(m_url.data()),
                 reinterpret_cast<const unsigned char*>(m_url.data() + m_url.size()));
    bytes.insert(bytes.end(), reinterpret_cast<const unsigned char*>(m_validator.data()),
                 reinterpret_cast<const unsigned char*>(m_validator.data() + m_validator.size()));
    return WriteAt(0, bytes.data(), bytes.size());
}

// The pending bytes first, then the header that counts them.
void CPartialDownload::Flush() {
    if (!m_keeping || m_pending.empty()) return;
    if (!WriteAt(DataOffset() + m_kept, m_pending.data(), m_pending.size())) {
        m_keeping = false;  // the header on disk still counts only what is there
        return;
    }
    m_checksum = Adler(m_checksum, m_pending.data(), m_pending.size());
    m_kept += m_pending.size();
    m_pending.clear();
    if (!WriteHeader()) m_keeping = false;
}

void CPartialDownload::Keep() {
    if (!m_file) return;
    Flush();
    if (m_kept == 0 || !m_keeping) DeleteOpenFile(m_file.get());
    m_file.reset();
}

void CPartialDownload::Discard() {
    if (!m_file) return;
    // Emptied first: under Wine, removing a large file just written costs
    // ten times what cutting it to nothing does, and the run waits for it.
    if (Seek(m_file.get(), 0)) SetEndOfFile(m_file.get());
    DeleteOpenFile(m_file.get());
    m_file.reset();
    Forget();
}

#include "launcher/embedded_key.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "foundation/handles.h"
#include "foundation/module_path.h"

namespace {

const char kBeginMarker[] = ">>key_begin|";
const char kEndMarker[] = "|key_end<<";
constexpr size_t kBeginMarkerLength = sizeof kBeginMarker - 1;
constexpr size_t kEndMarkerLength = sizeof kEndMarker - 1;
constexpr DWORD kPeSignature = 0x00004550;  // "PE\0\0"
constexpr DWORD kMaxTableSize = 0x100000;   // 1 MiB
constexpr size_t kMaxKeyLength = 1023;

struct TableLocation {
    DWORD offset = 0;
    DWORD size = 0;
};

// Steps through the loaded headers to the security directory (index 4).
CResult LocateCertificateTable(const void* image, TableLocation& table) {
    const unsigned char* base = static_cast<const unsigned char*>(image);
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const IMAGE_NT_HEADERS32* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
    if (nt->Signature != kPeSignature) return CResult(E_FAIL, 577);
    // The 64-bit optional header (a 64-bit build's own image) places its
    // directories 16 bytes further on.
    const IMAGE_NT_HEADERS64* nt64 = reinterpret_cast<const IMAGE_NT_HEADERS64*>(nt);
    bool wide = nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
    DWORD directories = wide ? nt64->OptionalHeader.NumberOfRvaAndSizes : nt->OptionalHeader.NumberOfRvaAndSizes;
    // A header with too few directories has no security directory at all.
    if (directories <= IMAGE_DIRECTORY_ENTRY_SECURITY) return CResult(E_FAIL, 581);
    const IMAGE_DATA_DIRECTORY& security = wide ? nt64->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY]
                                                : nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY];
    if (security.Size == 0) return CResult(E_FAIL, 581);
    if (security.Size >= kMaxTableSize) return CResult(E_FAIL, 582);
    if (security.VirtualAddress == 0) return CResult(E_FAIL, 583);  // a file offset for this directory
    table.offset = security.VirtualAddress;
    table.size = security.Size;
    return CResult();
}

CResult ReadTable(const std::wstring& filePath, const TableLocation& table, std::unique_ptr<unsigned char[]>& bytes) {
    UniqueHandle file(CreateFileW(filePath.c_str(), FILE_READ_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  0, nullptr));
    if (!file) return CResult::FromLastError(590);
    LARGE_INTEGER position;
    position.QuadPart = table.offset;
    if (!SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN)) return CResult::FromLastError(594);
    bytes.reset(new (std::nothrow) unsigned char[table.size]);
    if (!bytes) return CResult(E_FAIL, 597);
    DWORD read = 0;
    if (!ReadFile(file.get(), bytes.get(), table.size, &read, nullptr)) return CResult::FromLastError(600);
    if (read < table.size) return CResult::FromLastError(601);
    return CResult();
}

const unsigned char* Find(const unsigned char* begin, const unsigned char* end, const char* marker, size_t length) {
    return std::search(begin, end, marker, marker + length);
}

CResult ReadKeyFromTable(const std::wstring& filePath, const TableLocation& table, std::string& key) {
    std::unique_ptr<unsigned char[]> bytes;
    CResult read = ReadTable(filePath, table, bytes);
    if (read.Failed()) return read;
    return FindKeyInTable(bytes.get(), table.size, key);
}

}  // namespace

CResult FindKeyInTable(const unsigned char* table, size_t size, std::string& key) {
    const unsigned char* end = table + size;
    const unsigned char* begin = Find(table, end, kBeginMarker, kBeginMarkerLength);
    if (begin == end) return CResult(E_FAIL, 623, L"Could not find key");
    // The end marker is searched from the start of the table, not from the
    // begin marker: one that stands first makes the block invalid.
    const unsigned char* finish = Find(table, end, kEndMarker, kEndMarkerLength);
    if (finish == end) return CResult(E_FAIL, 626);
    if (finish <= begin) return CResult(E_FAIL, 628);
    ptrdiff_t length = (finish - begin) - static_cast<ptrdiff_t>(kBeginMarkerLength);
    if (length <= 0) return CResult(E_FAIL, 631);
    if (static_cast<size_t>(length) > kMaxKeyLength) return CResult(E_FAIL, 632);
    key.assign(reinterpret_cast<const char*>(begin + kBeginMarkerLength), static_cast<size_t>(length));
    return CResult();
}

CResult ReadEmbeddedKeyFromFile(const void* image, const std::wstring& filePath, std::string& key) {
    TableLocation table;
    CResult located = LocateCertificateTable(image, table);
    if (located.Failed()) return located;
    return ReadKeyFromTable(filePath, table, key);
}

CResult ReadEmbeddedKey(const void* image, std::string& key) {
    TableLocation table;
    CResult located = LocateCertificateTable(image, table);
    if (located.Failed()) return located;
    return ReadKeyFromTable(GetModulePath(), table, key);
}

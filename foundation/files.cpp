#include "foundation/files.h"

#include <memory>
#include <new>

#include "foundation/handles.h"
#include "foundation/kernel_function.h"

namespace {

bool IsOpen(HANDLE file) { return file != INVALID_HANDLE_VALUE && file != nullptr; }

// Whole files are written in one call each; a count beyond what one call
// takes (possible only in a 64-bit build) would be a short write.
bool FitsOneCall(size_t count) { return count <= MAXDWORD; }

constexpr DWORD kCopyPieceBytes = 1024 * 1024;

// Deleting through a handle: FILE_DISPOSITION_INFORMATION set with ntdll's
// NtSetInformationFile, which every system since Windows XP has (the
// kernel32 call for it came later).
struct CIoStatusBlock {
    union {
        LONG status;
        void* pointer;
    };
    ULONG_PTR information;
};
using NtSetInformationFileFunction = LONG NTAPI(HANDLE, CIoStatusBlock*, void*, ULONG, int);
constexpr int kFileDispositionInformation = 13;

CResult CopyAllBytes(HANDLE source, HANDLE target) {
    std::unique_ptr<unsigned char[]> piece(new (std::nothrow) unsigned char[kCopyPieceBytes]);
    if (!piece) return CResult(E_OUTOFMEMORY, 0);
    LARGE_INTEGER start = {};
    if (!SetFilePointerEx(source, start, nullptr, FILE_BEGIN)) return CResult::FromLastError(0);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(source, piece.get(), kCopyPieceBytes, &read, nullptr)) return CResult::FromLastError(0);
        if (read == 0) return CResult();
        CResult written = WriteToHandle(target, piece.get(), read);
        if (written.Failed()) return CResult(written.m_hr, 0);
    }
}

}  // namespace

CResult WriteToHandle(HANDLE file, const void* bytes, size_t count) {
    if (!FitsOneCall(count)) return CResult(E_FAIL, 515);
    DWORD written = 0;
    if (!WriteFile(file, bytes, static_cast<DWORD>(count), &written, nullptr)) {
        return CResult::FromLastError(514);
    }
    if (written < count) return CResult::FromLastError(515);
    return CResult();
}

CResult WriteWholeFile(const std::wstring& path, const void* bytes, size_t count) {
    UniqueHandle file(CreateFileW(path.c_str(), FILE_WRITE_DATA, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!IsOpen(file.get())) {
        HRESULT hr = HResultFromLastError();
        return CResult(hr, 547, L"Error creating file: " + path);
    }
    if (!FitsOneCall(count)) return CResult(E_FAIL, 551);
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes, static_cast<DWORD>(count), &written, nullptr)) {
        return CResult::FromLastError(550);
    }
    if (written < count) return CResult::FromLastError(551);
    return CResult();
}

CResult ReadWholeFile(const std::wstring& path, ByteBuffer& buffer, uint64_t limit) {
    UniqueHandle file(CreateFileW(path.c_str(), FILE_READ_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
    if (!IsOpen(file.get())) {
        HRESULT hr = HResultFromLastError();
        return CResult(hr, 586, L"Error opening file: " + path);
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.get(), &size)) return CResult::FromLastError(592);
    uint64_t fileSize = static_cast<uint64_t>(size.QuadPart);
    if (limit != 0 && fileSize > limit) return CResult(E_FAIL, 597);
    // A file larger than one read can take cannot be held in this process;
    // taking only its low 32 bits would return a truncated file as a success.
    if (fileSize > MAXDWORD || fileSize > buffer.max_size()) return CResult(E_OUTOFMEMORY, 606);
    try {
        buffer.assign(static_cast<size_t>(fileSize), 0);
    } catch (const std::bad_alloc&) {
        return CResult(E_OUTOFMEMORY, 606);
    }
    if (fileSize == 0) return CResult();
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer.data(), static_cast<DWORD>(fileSize), &read, nullptr)) {
        return CResult::FromLastError(613);
    }
    if (read < fileSize) return CResult(E_FAIL, 614);
    return CResult();
}

CResult CopyToNewFile(HANDLE source, const std::wstring& path, SECURITY_ATTRIBUTES* security) {
    UniqueHandle target(CreateFileW(path.c_str(), GENERIC_WRITE, 0, security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
    if (!IsOpen(target.get())) return CResult::FromLastError(0);
    CResult copied = CopyAllBytes(source, target.get());
    if (copied.Failed()) {
        target.reset();
        DeleteFileW(path.c_str());
    }
    return copied;
}

CResult TouchFile(const std::wstring& path) {
    UniqueHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!IsOpen(file.get())) return CResult::FromLastError(1005);
    return TouchOpenFile(file.get());
}

CResult TouchOpenFile(HANDLE file) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    if (!SetFileTime(file, nullptr, nullptr, &now)) return CResult::FromLastError(1009);
    return CResult();
}

CResult DeleteOpenFile(HANDLE file) {
    auto* setInformation = LoadedFunction<NtSetInformationFileFunction>(L"ntdll.dll", "NtSetInformationFile");
    if (setInformation == nullptr) return CResult(HResultFromError(ERROR_PROC_NOT_FOUND), 0);
    CIoStatusBlock status = {};
    BOOLEAN deleteFile = TRUE;
    LONG outcome = setInformation(file, &status, &deleteFile, sizeof deleteFile, kFileDispositionInformation);
    if (outcome < 0) return CResult(HRESULT_FROM_NT(outcome), 0);
    return CResult();
}

#include "retrieval/abandoned_work.h"

#include <windows.h>

#include <cstdint>
#include <cwchar>

#include "foundation/files.h"
#include "foundation/handles.h"
#include "retrieval/download_cache.h"
#include "retrieval/partial_download.h"
#include "retrieval/private_entry.h"
#include "retrieval/work_folder.h"

namespace {

constexpr uint64_t kFileTimeUnitsPerSecond = 10000000;  // FILETIME counts 100 ns
constexpr uint64_t kPartialLifetime = 7ull * 24 * 60 * 60 * kFileTimeUnitsPerSecond;
constexpr size_t kUuidChars = 36;
constexpr size_t kNameDigits = 40;

bool IsLowerHex(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'); }
bool IsUpperHex(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'); }

// The text of a UUID as work folders are named: 8-4-4-4-12 lower-case digits.
bool IsUuidText(const wchar_t* name) {
    if (std::wcslen(name) != kUuidChars) return false;
    for (size_t i = 0; i < kUuidChars; ++i) {
        bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen ? name[i] != L'-' : !IsLowerHex(name[i])) return false;
    }
    return true;
}

bool IsPartialName(const wchar_t* name) {
    std::wstring text(name);
    size_t prefix = std::wcslen(kEntryPrefix), suffix = std::wcslen(kPartialSuffix);
    if (text.size() != prefix + kNameDigits + suffix || text.compare(0, prefix, kEntryPrefix) != 0 ||
        text.compare(prefix + kNameDigits, suffix, kPartialSuffix) != 0) {
        return false;
    }
    for (size_t i = prefix; i < prefix + kNameDigits; ++i) {
        if (!IsUpperHex(text[i])) return false;
    }
    return true;
}

uint64_t AsNumber(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool IsPlainFolder(HANDLE folder) {
    BY_HANDLE_FILE_INFORMATION information;
    return GetFileInformationByHandle(folder, &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// A running launcher holds its work folder without sharing its deletion, so
// the folder cannot be opened for deletion here; an older launcher, or an
// installer still running, has the installer file open.
bool IsAbandonedWorkFolder(const std::wstring& path, const CPrivateAccess& access) {
    UniqueHandle folder(CreateFileW(path.c_str(), DELETE | READ_CONTROL, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder || !IsPlainFolder(folder.get())) return false;
    bool owned = false, isPrivate = false;
    if (access.IsOwnedByUser(folder.get(), owned).Failed() || !owned) return false;
    if (access.IsPrivate(folder.get(), isPrivate).Failed() || !isPrivate) return false;
    std::wstring installer = path + L"\\" + kInstallerFileName;
    UniqueHandle unused(CreateFileW(installer.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return static_cast<bool>(unused);
}

void RemoveAbandonedWorkFolders(const std::wstring& tempFolder, const CPrivateAccess& access) {
    WIN32_FIND_DATAW entry;
    FindHandle find(FindFirstFileW((tempFolder + L"*").c_str(), &entry));
    if (!find) return;
    do {
        bool isFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (!isFolder || !IsUuidText(entry.cFileName)) continue;
        std::wstring path = tempFolder + entry.cFileName;
        if (IsAbandonedWorkFolder(path, access)) DeleteFolderTree(path);
    } while (FindNextFileW(find.get(), &entry));
}

// Opened without sharing, checked and deleted through the same handle.
void RemoveOldPartial(const std::wstring& path, const CPrivateAccess& access) {
    UniqueHandle partial(CreateFileW(path.c_str(), DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES, 0, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!partial || !IsPlainFile(partial.get())) return;
    bool owned = false;
    if (access.IsOwnedByUser(partial.get(), owned).Succeeded() && owned) DeleteOpenFile(partial.get());
}

void RemoveOldPartials(const std::wstring& folder, const CPrivateAccess& access) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    WIN32_FIND_DATAW entry;
    FindHandle find(FindFirstFileW((folder + kEntryPrefix + L"*" + kPartialSuffix).c_str(), &entry));
    if (!find) return;
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !IsPartialName(entry.cFileName)) continue;
        if (AsNumber(entry.ftLastWriteTime) + kPartialLifetime > AsNumber(now)) continue;
        RemoveOldPartial(folder + entry.cFileName, access);
    } while (FindNextFileW(find.get(), &entry));
}

}  // namespace

void RemoveAbandonedWork(const std::wstring& tempFolder, const std::wstring& partialFolder,
                         const CPrivateAccess& access) {
    RemoveAbandonedWorkFolders(tempFolder, access);
    RemoveOldPartials(partialFolder, access);
}

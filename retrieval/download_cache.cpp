#include "retrieval/download_cache.h"

#include <windows.h>

#include <cstdint>
#include <utility>

#include "foundation/files.h"
#include "http/retries.h"
#include "launcher/run_options.h"
#include "retrieval/file_identity.h"
#include "retrieval/work_folder.h"

namespace {
const wchar_t kPersistentFolder[] = L"\\QuilloDownloads\\Files";
const wchar_t kEntryPrefix[] = L"-";
const wchar_t kSkippedNote[] = L"Cache skipped: could not replace ";

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The entry itself, never what a link makes of it, with what a hit needs:
// read it, set its date, delete it. Nobody may change it while it is open.
// `found` tells whether anything stands at the name.
bool OpenEntry(const std::wstring& path, UniqueHandle& entry, bool& found) {
    entry.reset(CreateFileW(path.c_str(), GENERIC_READ | FILE_WRITE_ATTRIBUTES | DELETE, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (entry) {
        found = true;
        return true;
    }
    DWORD error = GetLastError();
    found = error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    return false;
}

// A private plain file with one name (not a link, nor a hard link to a file
// kept elsewhere).
bool IsUsableEntry(const CPrivateAccess& access, HANDLE entry) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(entry, &information)) return false;
    constexpr DWORD kNotAPlainFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if ((information.dwFileAttributes & kNotAPlainFile) != 0 || information.nNumberOfLinks != 1) return false;
    bool isPrivate = false;
    return access.IsPrivate(entry, isPrivate).Succeeded() && isPrivate;
}
}  // namespace

CCacheSetup SetUpCache(const std::wstring& tempFolder) {
    std::wstring persistent = GetModuleFolder() + kPersistentFolder;
    CCacheSetup cache;
    cache.folder = tempFolder;
    cache.inTemp = true;
    if (Exists(persistent)) {
        g_cacheEnabled = true;
        cache.inTemp = false;
        cache.folder = persistent + L"\\";
    }
    return cache;
}

CResult LookUpCache(const CCacheSetup& cache, const CPrivateAccess& access, const std::wstring& downloadUrl,
                    const std::wstring& installerPath, CCacheEntry& entry, bool& hit) {
    hit = false;
    int64_t size = 0;
    std::wstring lastModified;
    CResult probed = QueryRemoteSize(downloadUrl, g_proxyCredentials.get(), size, nullptr, &lastModified);
    if (probed.Failed()) return Propagate(probed, 312);
    std::wstring name;
    CResult named = ComputeCacheName(downloadUrl, size, lastModified, name);
    if (named.Failed()) return Propagate(named, 316);
    entry.path = cache.folder + kEntryPrefix + name;
    UniqueHandle opened;
    bool found = false;
    if (!OpenEntry(entry.path, opened, found) || !IsUsableEntry(access, opened.get())) {
        entry.unusable = found;
        return CResult();  // a miss: the download replaces it
    }
    CResult copied = SafeCopyFile(opened.get(), installerPath, true);
    if (copied.Failed()) return Propagate(copied, 319);
    TouchOpenFile(opened.get());
    entry.checked = std::move(opened);
    hit = true;
    return CResult();
}

void ReleaseCacheHit(CCacheEntry& entry, bool passed) {
    if (!passed) DeleteOpenFile(entry.checked.get());
    entry.checked.reset();
}

void StoreInCache(const CCacheSetup& cache, CPrivateAccess& access, HANDLE installer, const CCacheEntry& entry) {
    if (SafeCopyFile(installer, entry.path, false, access.attributes()).Failed()) {
        if (entry.unusable) g_reportNotes += kSkippedNote + entry.path + L"\r\n";
        return;
    }
    if (cache.inTemp) MoveFileExW(entry.path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

#include "retrieval/download_cache.h"

#include <windows.h>

#include <cstdint>

#include "foundation/files.h"
#include "foundation/handles.h"
#include "http/retries.h"
#include "launcher/run_options.h"
#include "retrieval/file_identity.h"
#include "retrieval/work_folder.h"

namespace {
const wchar_t kPersistentFolder[] = L"\\QuilloDownloads\\Files";
const wchar_t kEntryPrefix[] = L"-";

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The entry itself, never what a link makes of it; nobody may change it
// while it is open. A failure is the copy's (200).
CResult OpenEntry(const std::wstring& path, UniqueHandle& entry) {
    entry.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!entry) return CResult::FromLastError(200);
    return CResult();
}

// A plain file with one name (not a link, nor a hard link to a file kept
// elsewhere) whose owner is trusted.
CResult IsUsableEntry(const CPrivateAccess& access, HANDLE entry, bool& usable) {
    usable = false;
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(entry, &information)) return CResult::FromLastError(0);
    constexpr DWORD kNotAPlainFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if ((information.dwFileAttributes & kNotAPlainFile) != 0 || information.nNumberOfLinks != 1) return CResult();
    return access.IsTrustedOwner(entry, usable);
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
                    const std::wstring& installerPath, std::wstring& cacheFile, bool& hit) {
    hit = false;
    int64_t size = 0;
    std::wstring lastModified;
    CResult probed = QueryRemoteSize(downloadUrl, g_proxyCredentials.get(), size, nullptr, &lastModified);
    if (probed.Failed()) return Propagate(probed, 312);
    std::wstring name;
    CResult named = ComputeCacheName(downloadUrl, size, lastModified, name);
    if (named.Failed()) return Propagate(named, 316);
    cacheFile = cache.folder + kEntryPrefix + name;
    if (!Exists(cacheFile)) return CResult();
    UniqueHandle entry;
    CResult opened = OpenEntry(cacheFile, entry);
    if (opened.Failed()) return Propagate(opened, 319);
    bool usable = false;
    CResult checked = IsUsableEntry(access, entry.get(), usable);
    if (checked.Failed() || !usable) return CResult();  // a miss: the download replaces it
    CResult copied = SafeCopyFile(entry.get(), installerPath, true);
    if (copied.Failed()) return Propagate(copied, 319);
    TouchFile(cacheFile);
    hit = true;
    return CResult();
}

void StoreInCache(const CCacheSetup& cache, CPrivateAccess& access, HANDLE installer, const std::wstring& cacheFile) {
    if (SafeCopyFile(installer, cacheFile, false, access.attributes()).Failed()) return;
    if (cache.inTemp) MoveFileExW(cacheFile.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

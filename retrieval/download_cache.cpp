#include "retrieval/download_cache.h"

#include <windows.h>

#include <cstdint>
#include <utility>

#include "foundation/files.h"
#include "foundation/module_path.h"
#include "foundation/run_options.h"
#include "http/retries.h"
#include "retrieval/file_identity.h"
#include "retrieval/private_entry.h"
#include "retrieval/work_folder.h"

namespace {
const wchar_t kPersistentFolder[] = L"\\QuilloDownloads\\Files";
const wchar_t kSkippedNote[] = L"Cache skipped: could not replace ";

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A hit is read, gets a new date and may be deleted, all through the handle
// of its check; nobody may change it meanwhile.
constexpr DWORD kEntryAccess = GENERIC_READ | FILE_WRITE_ATTRIBUTES | DELETE;
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
    if (!OpenEntry(entry.path, kEntryAccess, FILE_SHARE_READ, opened, found) ||
        !IsPrivatePlainFile(access, opened.get())) {
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

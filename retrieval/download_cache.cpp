#include "retrieval/download_cache.h"

#include <windows.h>

#include <cstdint>

#include "foundation/files.h"
#include "http/retries.h"
#include "launcher/run_options.h"
#include "retrieval/file_identity.h"
#include "retrieval/work_folder.h"

namespace {
const wchar_t kPersistentFolder[] = L"\\QuilloDownloads\\Files";
const wchar_t kEntryPrefix[] = L"-";

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
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

CResult LookUpCache(const CCacheSetup& cache, const std::wstring& downloadUrl, const std::wstring& installerPath,
                    std::wstring& cacheFile, bool& hit) {
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
    CResult copied = SafeCopyFile(cacheFile, installerPath, true);
    if (copied.Failed()) return Propagate(copied, 319);
    TouchFile(cacheFile);
    hit = true;
    return CResult();
}

void StoreInCache(const CCacheSetup& cache, const std::wstring& installerPath, const std::wstring& cacheFile) {
    if (SafeCopyFile(installerPath, cacheFile, false).Failed()) return;
    if (cache.inTemp) MoveFileExW(cacheFile.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

#include "retrieval/workflow.h"

#include <utility>

#include "foundation/browser.h"
#include "foundation/handles.h"
#include "foundation/private_access.h"
#include "foundation/run_options.h"
#include "foundation/text.h"
#include "http/retries.h"
#include "retrieval/abandoned_work.h"
#include "retrieval/download_cache.h"
#include "retrieval/file_identity.h"
#include "retrieval/installer_download.h"
#include "retrieval/installer_launch.h"
#include "retrieval/partial_download.h"
#include "retrieval/service_reply.h"
#include "retrieval/temp_folder.h"
#include "retrieval/unpack.h"
#include "retrieval/work_folder.h"
#include "service_endpoint.h"
#include "signature/publisher_signature.h"

namespace {

constexpr DWORD kRetryPauseMilliseconds = 500;
constexpr HRESULT kCertificateRevocationFailed = static_cast<HRESULT>(0x80072F19);
constexpr HRESULT kCertificateDateInvalid = static_cast<HRESULT>(0x80072F05);

CResult InvalidResponse() { return CResult(E_FAIL, 274, L"Invalid response"); }

// The service's one-line reply, as wide text up to its first zero byte.
CResult AskService(HWND window, const std::wstring& requestUrl, std::wstring& reply) {
    CDownloader service;
    service.m_hWnd = window;
    CResult asked = RequestWithRetries(service, requestUrl, nullptr, 0, kNoRangeEnd, kRetryPauseMilliseconds, nullptr);
    if (asked.Failed()) {
        if (asked.m_hr == kCertificateRevocationFailed || asked.m_hr == kCertificateDateInvalid) {
            asked.m_message = L"Certificate error";
        }
        return asked;
    }
    reply = WidenAnsi(reinterpret_cast<const char*>(service.m_body.data()), service.m_body.size());
    return CResult();
}

CResult FollowGoto(const std::wstring& page, const std::wstring& key) {
    // Only web pages go to the shell: a reply must not make the launcher open
    // a local path or start a program.
    if (!IsWebLink(page)) return InvalidResponse();
    std::wstring link = BuildGotoLink(page, key);
    if (g_silent) {
        return CResult(E_FAIL, 266, L"Please run in non-silent mode or go to " + link + L" for more information");
    }
    OpenInBrowser(link);
    return CResult();
}

// A new folder of this run under the temporary folder (which ends with a
// backslash), reachable by the process's user, SYSTEM and administrators
// only from the moment it exists: what is written into it inherits that.
CResult CreateWorkFolder(CPrivateAccess& access, std::wstring& tempFolder, std::wstring& workFolder) {
    CResult found = GetTemporaryFolder(tempFolder);
    if (found.Failed()) return found;
    workFolder = tempFolder + NewUuidText();
    CResult built = access.Build();
    if (built.Failed()) return Propagate(built, 289);
    if (!CreateDirectoryW(workFolder.c_str(), access.attributes())) return CResult::FromLastError(289);
    return CResult();
}

// A resumed download that the server or the stream refuses (a range
// answered otherwise than asked, bytes that do not continue the stream) is
// given up for one download from zero: the user never pays for a partial.
bool RefusesResume(const CResult& result) {
    return result.m_code == kCorruptStream || IsRangeRefusal(result);
}

// The download, going on from what an earlier run kept of it where it can.
CResult TransferInstaller(CInflatingDownloader& downloader, const std::wstring& downloadUrl) {
    int64_t start = 0, end = kNoRangeEnd;
    bool resumed = downloader.ResumeFromPartial(start, end);
    CResult downloaded = RequestWithRetries(downloader, downloadUrl, g_proxyCredentials.get(), start, end,
                                            kRetryPauseMilliseconds, nullptr);
    if (!resumed || !RefusesResume(downloaded.Failed() ? downloaded : downloader.Finish())) return downloaded;
    CResult restarted = downloader.StartOver();
    if (restarted.Failed()) return restarted;
    return RequestWithRetries(downloader, downloadUrl, g_proxyCredentials.get(), 0, kNoRangeEnd,
                              kRetryPauseMilliseconds, nullptr);
}

// The installer file is created first, and the system asked to remove it
// and the work folder at the next restart; then the download is inflated
// into it as it arrives, going on from what an earlier run kept of it. What
// this download does not finish is kept in turn, unless its bytes were bad.
CResult DownloadInstaller(HWND window, const std::wstring& downloadUrl, const CCacheSetup& cache,
                          CPrivateAccess& access, const std::wstring& workFolder, const std::wstring& installerPath) {
    UniqueHandle file(CreateFileW(installerPath.c_str(), FILE_ALL_ACCESS, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) return CResult::FromLastError(352);
    MoveFileExW(installerPath.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    MoveFileExW(workFolder.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    CPartialDownload partial;
    if (g_resumeEnabled) partial.Open(cache.folder, downloadUrl, access, cache.inTemp);
    CInflatingDownloader downloader(file.get(), &partial);
    downloader.m_hWnd = window;
    CResult downloaded = TransferInstaller(downloader, downloadUrl);
    if (downloaded.Failed()) {
        if (downloaded.m_code == kCorruptStream) partial.Discard();  // else kept as it goes out of scope
        return Propagate(downloaded, 338);
    }
    partial.Discard();  // the whole body arrived
    CResult unpacked = downloader.Finish();
    if (unpacked.Failed()) return Propagate(unpacked, 342);
    return CResult();
}

// Where this run's installer file came from, and its cache entry (no name
// while the cache is off).
struct CObtainedInstaller {
    CCacheSetup cache;
    CCacheEntry cacheEntry;
    bool fromCache = false;
};

CResult ObtainInstaller(HWND window, CPrivateAccess& access, const std::wstring& downloadUrl,
                        const std::wstring& workFolder, const std::wstring& installerPath,
                        CObtainedInstaller& obtained) {
    if (g_cacheEnabled) {
        CResult looked = LookUpCache(obtained.cache, access, downloadUrl, installerPath, obtained.cacheEntry,
                                     obtained.fromCache);
        if (looked.Failed()) return looked;
        if (obtained.fromCache) return CResult();
    }
    return DownloadInstaller(window, downloadUrl, obtained.cache, access, workFolder, installerPath);
}

// The cache keeps only installers that passed the check: a fresh download
// is stored after it, and a cached copy that fails it is removed, so that
// the next run downloads afresh.
void UpdateCache(CObtainedInstaller& obtained, CPrivateAccess& access, HANDLE installer, bool passed) {
    if (!g_cacheEnabled) return;
    if (obtained.fromCache) {
        ReleaseCacheHit(obtained.cacheEntry, passed);
        return;
    }
    if (passed) StoreInCache(obtained.cache, access, installer, obtained.cacheEntry);
}

}  // namespace

CResult RetrieveAndLaunchInstaller(HWND window, const std::wstring& key, const std::wstring& version,
                                   std::wstring* reportText) {
    std::wstring machineId;
    if (ComputeMachineId(machineId).Failed()) machineId.clear();  // sent without "&id="
    std::wstring requestUrl = BuildServiceRequestUrl(LOOMCRAFT_SERVICE_URL, key, version, machineId);

    std::wstring reply;
    CResult asked = AskService(window, requestUrl, reply);
    if (asked.Failed()) return asked;
    CServiceReply parsed = ParseServiceReply(reply);
    if (parsed.kind == ReplyKind::Goto) return FollowGoto(parsed.target, key);
    if (parsed.kind != ReplyKind::Get) return InvalidResponse();

    CPrivateAccess access;
    std::wstring tempFolder, workFolderPath;
    CResult created = CreateWorkFolder(access, tempFolder, workFolderPath);
    if (created.Failed()) return created;
    // From here on a run that fails (or is left by an exception) removes the
    // folder with all it holds; once the installer started, LaunchInstaller
    // removes it after the installer, or keeps it when the wait failed.
    CWorkFolder workFolder(workFolderPath);
    std::wstring installerPath = workFolderPath + L"\\" + kInstallerFileName;

    CObtainedInstaller obtained;
    obtained.cache = SetUpCache(tempFolder);
    RemoveAbandonedWork(tempFolder, obtained.cache.folder, access);
    CResult got =
        ObtainInstaller(window, access, parsed.target, workFolderPath, installerPath, obtained);
    if (got.Failed()) return got;

    // Every start is preceded by the check, cached files included, and the
    // file stays locked from before the check until the installer runs.
    UniqueHandle lock;
    CResult locked = LockInstallerFile(installerPath, lock);
    if (locked.Failed()) return locked;
    CResult verified = VerifyPublisherSignature(installerPath);
    UpdateCache(obtained, access, lock.get(), verified.Succeeded());
    if (verified.Failed()) return Propagate(verified, 381);

    return LaunchInstaller(installerPath, workFolder, key, window, reportText, std::move(lock));
}

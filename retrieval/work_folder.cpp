#include "retrieval/work_folder.h"

#include <rpc.h>
#include <winioctl.h>

#include <vector>

#include "foundation/files.h"
#include "foundation/handles.h"

namespace {

void ThrowIfRpcFailed(RPC_STATUS status) {
    if (status != RPC_S_OK) throw CAtlException(HResultFromError(static_cast<LONG>(status)));
}

// Frees a string the RPC runtime allocated, also when copying it throws.
class RpcString {
public:
    ~RpcString() {
        if (m_text != nullptr) RpcStringFreeW(&m_text);
    }
    RPC_WSTR* receive() { return &m_text; }
    const wchar_t* get() const { return reinterpret_cast<const wchar_t*>(m_text); }

private:
    RPC_WSTR m_text = nullptr;
};

bool IsDotEntry(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

constexpr DWORD kOpenLinkItself = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;

// True when `path` opens as a reparse point itself. Some systems open a
// directory link's target even when asked for the link; removing what they
// opened would remove the target folder.
bool OpensAsLinkItself(const std::wstring& path) {
    UniqueHandle link(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                  kOpenLinkItself, nullptr));
    if (!link) return false;
    std::vector<BYTE> reparseData(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    DWORD size = 0;
    return DeviceIoControl(link.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, reparseData.data(),
                           static_cast<DWORD>(reparseData.size()), &size, nullptr) != FALSE;
}

// A directory link (junction or symbolic link) removed as the link itself;
// its target is never entered. Where the link cannot be told from its
// target, it stays (ERROR_NOT_A_REPARSE_POINT).
bool RemoveDirectoryLink(const std::wstring& path) {
    if (!OpensAsLinkItself(path)) {
        if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_NOT_A_REPARSE_POINT);
        return false;
    }
    UniqueHandle link(CreateFileW(path.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                  kOpenLinkItself | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    return static_cast<bool>(link);
}

bool RemoveEntry(const std::wstring& path, bool isDirectoryLink) {
    if (isDirectoryLink) return RemoveDirectoryLink(path);
    return DeleteFileW(path.c_str()) != FALSE;  // a file, or a file link itself
}

}  // namespace

std::wstring NewUuidText() {
    UUID uuid;
    RPC_STATUS status = UuidCreateSequential(&uuid);
    if (status != RPC_S_UUID_LOCAL_ONLY) ThrowIfRpcFailed(status);
    RpcString text;
    ThrowIfRpcFailed(UuidToStringW(&uuid, text.receive()));
    return std::wstring(text.get());
}

CResult SafeCopyFile(HANDLE source, const std::wstring& target, bool failIfExists, SECURITY_ATTRIBUTES* security) {
    std::wstring temporary = target + L"." + NewUuidText() + L".tmp";
    CResult copied = CopyToNewFile(source, temporary, security);
    if (copied.Failed()) return Propagate(copied, 200);
    DWORD flags = failIfExists ? 0 : MOVEFILE_REPLACE_EXISTING;
    if (!MoveFileExW(temporary.c_str(), target.c_str(), flags)) {
        HRESULT hr = HResultFromLastError();
        DeleteFileW(temporary.c_str());
        return CResult(hr, 206);
    }
    return CResult();
}

CResult SafeCopyFile(const std::wstring& source, const std::wstring& target, bool failIfExists,
                     SECURITY_ATTRIBUTES* security) {
    UniqueHandle file(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return CResult::FromLastError(200);
    return SafeCopyFile(file.get(), target, failIfExists, security);
}

HRESULT DeleteFolderTree(const std::wstring& folder, std::wstring* failedPath) {
    DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        // The folder was swapped for a link: only the link goes.
        if (RemoveEntry(folder, (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)) return S_OK;
        HRESULT hr = HResultFromLastError();
        if (failedPath != nullptr) *failedPath = folder;
        return hr;
    }
    HRESULT result = S_OK;
    WIN32_FIND_DATAW entry;
    FindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (find) {
        do {
            bool isDirectory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            bool isLink = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            if (isDirectory && IsDotEntry(entry.cFileName)) continue;
            std::wstring path = folder + L"\\" + entry.cFileName;
            if (isDirectory && !isLink) {
                HRESULT inner = DeleteFolderTree(path, failedPath);
                if (inner < 0) result = inner;
            } else if (!RemoveEntry(path, isDirectory)) {
                result = HResultFromLastError();
                if (failedPath != nullptr) *failedPath = path;
            }
        } while (FindNextFileW(find.get(), &entry));
    }
    find.reset();
    if (result >= 0 && !RemoveDirectoryW(folder.c_str())) {
        result = HResultFromLastError();
        if (failedPath != nullptr) *failedPath = folder;
    }
    return result;
}

CWorkFolder::CWorkFolder(std::wstring path)
    : m_path(std::move(path)),
      // Listing access: a handle with attribute access alone takes no part
      // in sharing, and would let another run open the folder for deletion.
      m_hold(CreateFileW(m_path.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)) {}

CWorkFolder::~CWorkFolder() { Remove(); }

void CWorkFolder::Remove() {
    if (!m_owned) return;
    m_hold.reset();
    DeleteFolderTree(m_path);
    m_owned = false;
}

void CWorkFolder::Keep() { m_owned = false; }

#include "retrieval/private_entry.h"

bool OpenEntry(const std::wstring& path, DWORD access, DWORD share, UniqueHandle& entry, bool& found) {
    entry.reset(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (entry) {
        found = true;
        return true;
    }
    DWORD error = GetLastError();
    found = error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    return false;
}

bool IsPlainFile(HANDLE entry) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(entry, &information)) return false;
    constexpr DWORD kNotAPlainFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    return (information.dwFileAttributes & kNotAPlainFile) == 0 && information.nNumberOfLinks == 1;
}

bool IsPrivatePlainFile(const CPrivateAccess& access, HANDLE entry) {
    if (!IsPlainFile(entry)) return false;
    bool isPrivate = false;
    return access.IsPrivate(entry, isPrivate).Succeeded() && isPrivate;
}

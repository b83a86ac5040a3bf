#include <gtest/gtest.h>
#include <windows.h>

#include <cwctype>
#include <optional>
#include <string>
#include <utility>

#include "foundation/module_path.h"
#include "foundation/private_access.h"
#include "retrieval/abandoned_work.h"
#include "retrieval/temp_folder.h"
#include "retrieval/work_folder.h"
#include "test_folder.h"

namespace {

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

int CountEntries(const std::wstring& folder) {
    int count = 0;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return 0;
    do {
        std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") ++count;
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return count;
}

TEST(NewUuidText, LowerCaseGroupsOf8_4_4_4_12AndNeverTheSame) {
    std::wstring first = NewUuidText();
    ASSERT_EQ(first.size(), 36u);
    for (size_t i = 0; i < first.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            EXPECT_EQ(first[i], L'-');
        } else {
            EXPECT_TRUE(iswxdigit(first[i]) && !iswupper(first[i])) << first;
        }
    }
    EXPECT_NE(NewUuidText(), first);
}

TEST(ModulePath, FolderIsThePathUpToItsLastBackslash) {
    std::wstring path = GetModulePath();
    EXPECT_EQ(path.substr(path.size() - 4), L".exe");
    EXPECT_EQ(GetModuleFolder() + path.substr(path.rfind(L'\\')), path);
    EXPECT_EQ(FolderOfPath(L"C:\\a\\b.exe"), L"C:\\a");
    EXPECT_EQ(FolderOfPath(L"\\b.exe"), L"");
    try {
        FolderOfPath(L"launcher.exe");
        FAIL() << "no exception";
    } catch (const CAtlException& e) {
        EXPECT_EQ(e.m_hr, E_FAIL);
    }
}

TEST(SafeCopyFile, CopiesAndReplacesOnlyWhenAllowed) {
    TestFolder folder;
    std::wstring source = folder.Write(L"source.bin", "new content");
    std::wstring target = folder.Write(L"target.bin", "old");

    CResult refused = SafeCopyFile(source, target, true);
    EXPECT_EQ(refused.m_code, 206);
    EXPECT_EQ(refused.m_hr, static_cast<HRESULT>(0x800700B7));  // already exists
    EXPECT_EQ(TestFolder::Read(target), "old");
    EXPECT_EQ(CountEntries(folder.path()), 2) << "no temporary file is left behind";

    ASSERT_EQ(SafeCopyFile(source, target, false).m_hr, S_OK);
    EXPECT_EQ(TestFolder::Read(target), "new content");
    std::wstring fresh = folder / L"fresh.bin";
    ASSERT_EQ(SafeCopyFile(source, fresh, true).m_hr, S_OK);
    EXPECT_EQ(TestFolder::Read(fresh), "new content");
    EXPECT_EQ(CountEntries(folder.path()), 3);
}

TEST(SafeCopyFile, MissingSourceFailsWith200) {
    TestFolder folder;
    CResult result = SafeCopyFile(folder / L"none", folder / L"target", false);
    EXPECT_EQ(result.m_code, 200);
    EXPECT_EQ(result.m_hr, static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(CountEntries(folder.path()), 0);
}

DWORD WINAPI SystemTempStandIn(DWORD size, LPWSTR buffer) {
    lstrcpynW(buffer, L"C:\\Windows\\SystemTemp\\", static_cast<int>(size));
    return 22;
}
DWORD WINAPI FailingTempPath(DWORD, LPWSTR) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}
DWORD WINAPI TooLongTempPath(DWORD size, LPWSTR) { return size + 1; }

TEST(TemporaryFolder, TheSystemsOwnFolderWhereKernel32HasItElseGetTempPathW) {
    std::wstring folder;
    ASSERT_EQ(GetTemporaryFolder(folder, &SystemTempStandIn).m_hr, S_OK);
    EXPECT_EQ(folder, L"C:\\Windows\\SystemTemp\\");
    wchar_t expected[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, expected);
    ASSERT_EQ(GetTemporaryFolder(folder, nullptr).m_hr, S_OK);
    EXPECT_EQ(folder, expected);
    // The lookup finds what this kernel32 exports (Wine 8: nothing; Wine 10 and newer Windows: GetTempPath2W).
    FARPROC exported = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTempPath2W");
    EXPECT_EQ(reinterpret_cast<void*>(PreferredTempPathFunction()), reinterpret_cast<void*>(exported));

    CResult failed = GetTemporaryFolder(folder, &FailingTempPath);
    EXPECT_EQ(std::make_pair(failed.m_hr, failed.m_code), std::make_pair(static_cast<HRESULT>(0x80070005), 283));
    failed = GetTemporaryFolder(folder, &TooLongTempPath);
    EXPECT_EQ(std::make_pair(failed.m_hr, failed.m_code), std::make_pair(static_cast<HRESULT>(0x8007007A), 283));
}

TEST(DeleteFolderTree, RemovesEverythingButWhatIsHeldAndItsParents) {
    TestFolder folder;
    std::wstring root = folder / L"work";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW((root + L"\\a").c_str(), nullptr);
    CreateDirectoryW((root + L"\\a\\deep").c_str(), nullptr);
    CreateDirectoryW((root + L"\\b").c_str(), nullptr);
    CreateDirectoryW((root + L"\\empty").c_str(), nullptr);
    folder.Write(L"work\\Quillo.exe", "x");
    folder.Write(L"work\\a\\one.txt", "1");
    std::wstring held = folder.Write(L"work\\a\\deep\\held.txt", "2");
    folder.Write(L"work\\a\\deep\\other.txt", "3");
    folder.Write(L"work\\b\\two.txt", "4");

    HANDLE handle = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    std::wstring failed;
    HRESULT result = DeleteFolderTree(root, &failed);
    CloseHandle(handle);

    EXPECT_EQ(result, static_cast<HRESULT>(0x80070020));  // sharing violation
    EXPECT_EQ(failed, held);
    EXPECT_TRUE(Exists(held));
    EXPECT_TRUE(Exists(root + L"\\a\\deep"));
    EXPECT_TRUE(Exists(root + L"\\a"));
    EXPECT_TRUE(Exists(root));
    EXPECT_FALSE(Exists(root + L"\\Quillo.exe"));
    EXPECT_FALSE(Exists(root + L"\\a\\one.txt"));
    EXPECT_FALSE(Exists(root + L"\\a\\deep\\other.txt"));
    EXPECT_FALSE(Exists(root + L"\\b"));
    EXPECT_FALSE(Exists(root + L"\\empty"));

    EXPECT_EQ(DeleteFolderTree(root), S_OK);
    EXPECT_FALSE(Exists(root));
}

TEST(DeleteFolderTree, MissingFolderReturnsTheRemoveDirectoryError) {
    TestFolder folder;
    std::wstring missing = folder / L"gone";
    std::wstring failed;
    HRESULT result = DeleteFolderTree(missing, &failed);
    EXPECT_EQ(result, static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(failed, missing);
}

TEST(DeleteFolderTree, ReadOnlyFilesAreNotForced) {
    TestFolder folder;
    std::wstring root = folder / L"work";
    CreateDirectoryW(root.c_str(), nullptr);
    std::wstring readOnly = folder.Write(L"work\\ro.txt", "r");
    SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY);
    HRESULT result = DeleteFolderTree(root);
    EXPECT_EQ(result, static_cast<HRESULT>(0x80070005));
    EXPECT_TRUE(Exists(readOnly));
}

// Another run's cleanup removes a private work folder with an installer
// file nobody has open, unless a running launcher still holds the folder:
// between the download and the lock, or a cache copy and the lock, the
// installer file is closed for a moment.
TEST(CWorkFolder, HoldsItsFolderAgainstAnotherRunsCleanup) {
    TestFolder temp;
    CPrivateAccess access;
    ASSERT_TRUE(access.Build().Succeeded());
    for (bool held : {true, false}) {
        std::wstring name = NewUuidText();
        ASSERT_TRUE(CreateDirectoryW((temp / name).c_str(), access.attributes()));
        std::wstring installer = temp.Write(name + L"\\" + kInstallerFileName, "MZ");
        std::optional<CWorkFolder> running;
        if (held) running.emplace(temp / name);  // else a killed run's: nothing holds it
        RemoveAbandonedWork(temp.path() + L"\\", temp.path() + L"\\", access);
        EXPECT_EQ(Exists(installer), held) << (held ? "held" : "abandoned");
    }
}

}  // namespace

#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "retrieval/installer_launch.h"
#include "test_folder.h"

namespace {

std::vector<std::wstring> Split(const std::wstring& commandLine) {
    int count = 0;
    wchar_t** args = CommandLineToArgvW(commandLine.c_str(), &count);
    std::vector<std::wstring> result(args, args + count);
    LocalFree(args);
    return result;
}

TEST(InstallerCommandLine, PiecesInOrderAsPlainQuotedValues) {
    CProxyCredentials credentials{L"user", L"p w"};
    CSecretText line = BuildInstallerCommandLine(L"KEY40", L"C:\\T\\w\\report.txt", L"C:\\dl\\loomcraft.exe",
                                                 &credentials, {L"/norestart", L"a b", L""});
    EXPECT_EQ(line.view(),
              L"Quillo.exe \"KEY40\" /silent \"C:\\T\\w\\report.txt\" /fullpath \"C:\\dl\\loomcraft.exe\" "
              L"/proxyauth \"user\" \"p w\" \"/norestart\" \"a b\" \"\"");
}

TEST(InstallerCommandLine, InteractiveRunsHaveNoReportAndNoCredentialsPiece) {
    EXPECT_EQ(BuildInstallerCommandLine(L"K", L"", L"C:\\l.exe", nullptr, {}).view(), L"Quillo.exe \"K\" /fullpath \"C:\\l.exe\"");
    CProxyCredentials empty;
    EXPECT_EQ(BuildInstallerCommandLine(L"K", L"", L"C:\\l.exe", &empty, {}).view(),
              L"Quillo.exe \"K\" /fullpath \"C:\\l.exe\" /proxyauth \"\" \"\"");
}

TEST(InstallerCommandLine, EveryValueComesBackExactlyThroughCommandLineToArgv) {
    std::vector<std::wstring> hostile = {
        L"pa\"ss",           L"ends in backslash\\", L"two\\\\",       L"\\\"both\\\\\"", L"C:\\Program Files\\",
        L"\"",               L"\\",                  L"tab\there",     L"",               L"a\\\\b\"c",
        L"mid\\dle\\path",   L"\"\"",                L"x y \\\" z\\\\"};
    for (const std::wstring& value : hostile) {
        CProxyCredentials credentials{value, CSecretText(value)};
        std::wstring report = L"R" + value;  // an empty report path means no report piece
        CSecretText line = BuildInstallerCommandLine(value, report, value, &credentials, {value, L"next"});
        std::vector<std::wstring> args = Split(std::wstring(line.view()));
        std::vector<std::wstring> expected = {L"Quillo.exe", value, L"/silent", report, L"/fullpath", value,
                                              L"/proxyauth", value, value, value, L"next"};
        EXPECT_EQ(args, expected) << "value: " << std::string(value.begin(), value.end());
    }
}

TEST(QuoteArgument, OnlyQuotesAndTrailingBackslashesChange) {
    EXPECT_EQ(QuoteArgument(L"C:\\a\\b"), L"\"C:\\a\\b\"");
    EXPECT_EQ(QuoteArgument(L"say \"hi\""), L"\"say \\\"hi\\\"\"");
    EXPECT_EQ(QuoteArgument(L"dir\\"), L"\"dir\\\\\"");
    EXPECT_EQ(QuoteArgument(L"a\\\"b"), L"\"a\\\\\\\"b\"");
}

}  // namespace

TEST(InstallerLock, ShutsOutWritersRenamesAndDeletersButNotReaders) {
    TestFolder folder;
    std::wstring path = folder.Write(L"Quillo.exe", "MZ installer");
    UniqueHandle lock;
    ASSERT_TRUE(LockInstallerFile(path, lock).Succeeded());
    UniqueHandle writer(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                    FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(writer);
    EXPECT_FALSE(DeleteFileW(path.c_str()));
    EXPECT_FALSE(MoveFileExW(path.c_str(), (folder / L"other.exe").c_str(), 0));
    UniqueHandle reader(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(reader);  // as the signature check opens it
    reader.reset();
    lock.reset();
    EXPECT_TRUE(DeleteFileW(path.c_str()));
    EXPECT_EQ(LockInstallerFile(path, lock).m_code, 352);
}

TEST(InstallerWait, AFailedWaitIsReportedWithItsOwnError) {
    UniqueHandle ended(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    EXPECT_TRUE(WaitForInstaller(ended.get()).Succeeded());
    CResult failed = WaitForInstaller(nullptr);
    EXPECT_EQ(failed.m_hr, HResultFromError(ERROR_INVALID_HANDLE));
    EXPECT_EQ(failed.m_code, 432);
}

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "foundation/files.h"
#include "test_folder.h"

namespace {

TEST(WriteWholeFile, CreatesAndReplacesWithoutLeftoverTail) {
    TestFolder folder;
    std::wstring path = folder.Write(L"report.txt", std::string(1000, 'x'));
    ASSERT_EQ(WriteWholeFile(path, "short", 5).m_hr, S_OK);
    EXPECT_EQ(TestFolder::Read(path), "short");
    std::wstring fresh = folder / L"fresh.bin";
    ASSERT_EQ(WriteWholeFile(fresh, "", 0).m_hr, S_OK);
    EXPECT_EQ(TestFolder::Read(fresh), "");
}

TEST(WriteWholeFile, MissingFolderFailsWith547NamingThePath) {
    TestFolder folder;
    std::wstring path = folder / L"missing\\report.txt";
    CResult result = WriteWholeFile(path, "x", 1);
    EXPECT_EQ(result.m_hr, static_cast<HRESULT>(0x80070003));
    EXPECT_EQ(result.m_code, 547);
    EXPECT_EQ(result.m_message, L"Error creating file: " + path);
}

TEST(WriteWholeFile, FileOpenElsewhereCannotBeReplaced) {
    TestFolder folder;
    std::wstring path = folder.Write(L"held.txt", "keep");
    HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    CResult result = WriteWholeFile(path, "new", 3);
    CloseHandle(held);
    EXPECT_EQ(result.m_hr, static_cast<HRESULT>(0x80070020));  // sharing violation
    EXPECT_EQ(result.m_code, 547);
    EXPECT_EQ(TestFolder::Read(path), "keep");
}

TEST(WriteToHandle, WritesAllAndReportsAFailedWrite) {
    TestFolder folder;
    std::wstring path = folder / L"out.bin";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_EQ(WriteToHandle(file, "abc", 3).m_hr, S_OK);
    CloseHandle(file);
    EXPECT_EQ(TestFolder::Read(path), "abc");

    HANDLE readOnly = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    CResult failed = WriteToHandle(readOnly, "abc", 3);
    CloseHandle(readOnly);
    EXPECT_EQ(failed.m_hr, static_cast<HRESULT>(0x80070005));
    EXPECT_EQ(failed.m_code, 514);
}

TEST(ReadWholeFile, ReadsAnySizeWithoutLimit) {
    TestFolder folder;
    std::string content(300000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
    std::wstring path = folder.Write(L"big.bin", content);
    ByteBuffer buffer;
    ASSERT_EQ(ReadWholeFile(path, buffer, 0).m_hr, S_OK);
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), content);
}

TEST(ReadWholeFile, EmptyFileSucceedsWithAnEmptyBuffer) {
    TestFolder folder;
    std::wstring path = folder.Write(L"empty.txt", "");
    ByteBuffer buffer(3, 'x');
    ASSERT_EQ(ReadWholeFile(path, buffer, 0).m_hr, S_OK);
    EXPECT_TRUE(buffer.empty());
}

TEST(ReadWholeFile, LimitIsInclusive) {
    TestFolder folder;
    std::wstring path = folder.Write(L"f.bin", std::string(1001, 'a'));
    ByteBuffer buffer;
    CResult over = ReadWholeFile(path, buffer, 1000);
    EXPECT_EQ(over.m_hr, E_FAIL);
    EXPECT_EQ(over.m_code, 597);
    EXPECT_TRUE(over.m_message.empty());
    EXPECT_EQ(ReadWholeFile(path, buffer, 1001).m_hr, S_OK);
    EXPECT_EQ(buffer.size(), 1001u);
}

TEST(ReadWholeFile, MissingFileFailsWith586NamingThePath) {
    TestFolder folder;
    std::wstring path = folder / L"nothing.txt";
    ByteBuffer buffer;
    CResult result = ReadWholeFile(path, buffer, 0);
    EXPECT_EQ(result.m_hr, static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(result.m_code, 586);
    EXPECT_EQ(result.m_message, L"Error opening file: " + path);
}

TEST(TouchFile, ChangesOnlyTheLastWriteTime) {
    TestFolder folder;
    std::wstring path = folder.Write(L"entry", "x");
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    FILETIME old = {0x12345678, 0x01C00000};  // a date in 1997
    ASSERT_TRUE(SetFileTime(file, &old, &old, &old));
    CloseHandle(file);
    WIN32_FILE_ATTRIBUTE_DATA before;
    ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &before));

    ASSERT_EQ(TouchFile(path).m_hr, S_OK);

    WIN32_FILE_ATTRIBUTE_DATA after;
    ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &after));
    // (Wine reports the Unix change time as creation time, which any write of
    // the times moves, so the creation time is not compared here.)
    EXPECT_EQ(CompareFileTime(&after.ftLastAccessTime, &before.ftLastAccessTime), 0);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER written{{after.ftLastWriteTime.dwLowDateTime, after.ftLastWriteTime.dwHighDateTime}};
    ULARGE_INTEGER current{{now.dwLowDateTime, now.dwHighDateTime}};
    EXPECT_LT(current.QuadPart - written.QuadPart, 600000000ull) << "within a minute of now";
    EXPECT_EQ(TestFolder::Read(path), "x");
}

TEST(DeleteOpenFile, RemovesTheFileWhenItsHandleCloses) {
    TestFolder folder;
    std::wstring path = folder.Write(L"entry", "x");
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(DeleteOpenFile(file).m_hr, S_OK);
    CloseHandle(file);
    EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);

    file = CreateFileW(folder.Write(L"kept", "y").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       0, nullptr);
    EXPECT_TRUE(DeleteOpenFile(file).Failed()) << "a handle without DELETE access deletes nothing";
    CloseHandle(file);
    EXPECT_EQ(TestFolder::Read(folder / L"kept"), "y");
}

TEST(TouchFile, MissingFileFailsWith1005) {
    TestFolder folder;
    CResult result = TouchFile(folder / L"gone");
    EXPECT_EQ(result.m_hr, static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(result.m_code, 1005);
}

}  // namespace

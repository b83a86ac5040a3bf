#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "foundation/run_report.h"
#include "foundation/error_text.h"
#include "test_folder.h"

namespace {

TEST(DescribeResult, JoinsMessageErrorTextAndCode) {
    EXPECT_EQ(DescribeResult(CResult(E_FAIL, 623, L"Could not find key")), L"Failed - Could not find key - 623");
    EXPECT_EQ(DescribeResult(CResult(E_FAIL, 0)), L"Failed");
    EXPECT_EQ(DescribeResult(CResult(E_FAIL, 86)), L"Failed - 86");
    EXPECT_EQ(DescribeResult(CResult(static_cast<HRESULT>(0x80070002), 586, L"Error opening file: x")),
              L"Failed - Error opening file: x - File not found. - 586");
    // An HRESULT without any text adds nothing.
    EXPECT_EQ(DescribeResult(CResult(static_cast<HRESULT>(0xA00BCDEF), 7)), L"Failed - 7");
}

TEST(WriteRunReport, ChoosesTheTextAndWritesUtf8) {
    TestFolder folder;
    std::wstring path = folder / L"report.txt";

    WriteRunReport(path, L"Installed \u00e9\u20ac\r\nline 2", CResult());
    EXPECT_EQ(TestFolder::Read(path), "Installed \xc3\xa9\xe2\x82\xac\r\nline 2");

    WriteRunReport(path, L"", CResult());
    EXPECT_EQ(TestFolder::Read(path), "Error reading report\r\n");

    WriteRunReport(path, L"", CResult(E_FAIL, 623, L"Could not find key"));
    EXPECT_EQ(TestFolder::Read(path), "Failed - Could not find key - 623\r\n");

    // The installer's own report wins even over a failed outcome.
    WriteRunReport(path, L"mine", CResult(E_FAIL, 466));
    EXPECT_EQ(TestFolder::Read(path), "mine");

    // The launcher's own notes come first, whichever text follows.
    WriteRunReport(path, L"", CResult(), L"Cache skipped: x\r\n");
    EXPECT_EQ(TestFolder::Read(path), "Cache skipped: x\r\nError reading report\r\n");
}

TEST(WriteRunReport, EmptyTargetWritesNothingAndAMissingFolderIsIgnored) {
    TestFolder folder;
    WriteRunReport(L"", L"text", CResult());
    std::wstring inMissing = folder / L"missing\\report.txt";
    WriteRunReport(inMissing, L"text", CResult());
    EXPECT_EQ(TestFolder::Read(inMissing), "<missing>");
}

TEST(WriteRunReport, TextThatCannotBeConvertedThrows) {
    TestFolder folder;
    EXPECT_THROW(WriteRunReport(folder / L"r.txt", std::wstring(L"a\0b", 3), CResult()), CException);
}

TEST(WriteTextFile, PropagatesTheFileFailure) {
    TestFolder folder;
    std::wstring path = folder / L"no\\such.txt";
    CResult result = WriteTextFile(path, "x");
    EXPECT_EQ(result.m_code, 547);
    EXPECT_EQ(result.m_message, L"Error creating file: " + path);
}

// Standard output first; only when it cannot be written, the console of the
// parent process. This process cannot attach to one (it has a console of its
// own, or its parent has none): the attach failure keeps its own code.
TEST(WriteToConsole, StandardOutputFirstThenTheParentsConsole) {
    HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE), read = nullptr, write = nullptr;
    ASSERT_TRUE(CreatePipe(&read, &write, nullptr, 0));
    SetStdHandle(STD_OUTPUT_HANDLE, write);
    CResult piped = WriteToConsole("report\r\n");
    SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
    CResult unattached = WriteToConsole("report\r\n");
    SetStdHandle(STD_OUTPUT_HANDLE, saved);
    char text[16] = {};
    DWORD count = 0;
    CloseHandle(write);
    ReadFile(read, text, sizeof text, &count, nullptr);
    CloseHandle(read);
    EXPECT_EQ(piped.m_hr, S_OK);
    EXPECT_EQ(std::string(text, count), "report\r\n");
    EXPECT_LT(unattached.m_hr, 0);
    EXPECT_EQ(unattached.m_code, 1209);
}

}  // namespace

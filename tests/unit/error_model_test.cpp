#include <gtest/gtest.h>
#include <windows.h>

#include <stdexcept>
#include <string>

#include "foundation/error_text.h"
#include "foundation/guarded.h"
#include "foundation/result.h"

namespace {

constexpr DWORD kFramedMessage = 0x2000F00D;
constexpr DWORD kBlankMessage = 0x2000F00E;

TEST(HResultFromError, MapsZeroPositiveAndNegative) {
    EXPECT_EQ(HResultFromError(0), E_FAIL);
    EXPECT_EQ(HResultFromError(5), static_cast<HRESULT>(0x80070005));
    EXPECT_EQ(HResultFromError(12029), static_cast<HRESULT>(0x80072EFD));
    EXPECT_EQ(HResultFromError(0x12345), static_cast<HRESULT>(0x80072345));  // facility bits dropped
    EXPECT_EQ(HResultFromError(static_cast<LONG>(0x800B0100)), static_cast<HRESULT>(0x800B0100));
}

TEST(HResultFromError, ReadsTheLastError) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(HResultFromLastError(), static_cast<HRESULT>(0x80070002));
    SetLastError(0);
    CResult result = CResult::FromLastError(77);
    EXPECT_EQ(result.m_hr, E_FAIL);
    EXPECT_EQ(result.m_code, 77);
    EXPECT_TRUE(result.m_message.empty());
}

TEST(Propagate, KeepsANonZeroInnerCodeAndReplacesAZeroOne) {
    CResult withCode = Propagate(CResult(E_ACCESSDENIED, 547, L"Error creating file: x"), 561);
    EXPECT_EQ(withCode.m_hr, E_ACCESSDENIED);
    EXPECT_EQ(withCode.m_code, 547);
    EXPECT_EQ(withCode.m_message, L"Error creating file: x");
    CResult withoutCode = Propagate(CResult(E_FAIL, 0, L"inner"), 561);
    EXPECT_EQ(withoutCode.m_code, 561);
    EXPECT_EQ(withoutCode.m_message, L"inner");
}

TEST(ThrowIfFailed, ThrowsTheWholeResultOnlyOnFailure) {
    EXPECT_NO_THROW(ThrowIfFailed(CResult()));
    EXPECT_NO_THROW(ThrowIfFailed(CResult(S_FALSE, 3)));
    try {
        ThrowIfFailed(CResult(E_INVALIDARG, 384, L"why"));
        FAIL() << "no exception";
    } catch (const CException& e) {
        EXPECT_EQ(e.m_hr, E_INVALIDARG);
        EXPECT_EQ(e.m_code, 384);
        EXPECT_EQ(e.m_message, L"why");
    }
}

// Both top levels: what escapes the work becomes the outcome.
TEST(RunGuarded, ConvertsEachExceptionKindAtBothTopLevels) {
    auto throwing = [](auto exception) { return [exception]() -> CResult { throw exception; }; };

    CResult own = RunGuarded(kEntryPointGuard, throwing(CException(CResult(E_ACCESSDENIED, 623, L"mine"))));
    EXPECT_EQ(own.m_hr, E_ACCESSDENIED);
    EXPECT_EQ(own.m_code, 623);
    EXPECT_EQ(own.m_message, L"mine");

    CResult atl = RunGuarded(kEntryPointGuard, throwing(CAtlException(E_INVALIDARG)));
    EXPECT_EQ(atl.m_hr, E_INVALIDARG);
    EXPECT_EQ(atl.m_code, 849);
    EXPECT_EQ(atl.m_message, L"Exception");
    EXPECT_EQ(RunGuarded(kWorkerGuard, throwing(CAtlException(E_INVALIDARG))).m_code, 489);

    CResult standard = RunGuarded(kEntryPointGuard, throwing(std::runtime_error("disk on fire")));
    EXPECT_EQ(standard.m_hr, E_FAIL);
    EXPECT_EQ(standard.m_code, 852);
    EXPECT_EQ(standard.m_message, L"Exception: disk on fire");
    EXPECT_EQ(RunGuarded(kWorkerGuard, throwing(std::runtime_error("x"))).m_code, 492);

    CResult fine = RunGuarded(kEntryPointGuard, [] { return CResult(); });
    EXPECT_EQ(fine.m_hr, S_OK);
}

TEST(RunGuarded, StringAllocationFailureArrivesAsOutOfMemory) {
    auto work = [] {
        std::wstring huge;
        huge.reserve(huge.max_size());  // 1 GiB in one piece: more than this 32-bit process can have
        return CResult();
    };
    CResult entry = RunGuarded(kEntryPointGuard, work);
    EXPECT_EQ(entry.m_hr, static_cast<HRESULT>(0x8007000E));
    EXPECT_EQ(entry.m_code, 849);
    EXPECT_EQ(entry.m_message, L"Exception");
    CResult worker = RunGuarded(kWorkerGuard, work);
    EXPECT_EQ(worker.m_hr, static_cast<HRESULT>(0x8007000E));
    EXPECT_EQ(worker.m_code, 489);
}

TEST(RunGuarded, InvalidStringLengthArrivesAsInvalidArgument) {
    CResult result = RunGuarded(kEntryPointGuard, [] {
        std::wstring text;
        text.reserve(text.max_size() + 1);
        return CResult();
    });
    EXPECT_EQ(result.m_hr, E_INVALIDARG);
    EXPECT_EQ(result.m_code, 849);
    EXPECT_EQ(result.m_message, L"Exception");
}

TEST(FormatSystemMessage, TrimsLineBreaksAtBothEndsOnly) {
    HMODULE self = GetModuleHandleW(nullptr);
    EXPECT_EQ(FormatSystemMessage(kFramedMessage, &self, 1), L"Framed by line breaks.");
    EXPECT_EQ(FormatSystemMessage(kBlankMessage, &self, 1), L" Keeps blanks and tabs\t.");
}

TEST(FormatSystemMessage, FallsBackToModulesInOrderSkippingNull) {
    HMODULE self = GetModuleHandleW(nullptr);
    HMODULE modules[] = {nullptr, GetModuleHandleW(L"kernel32.dll"), self};
    EXPECT_EQ(FormatSystemMessage(kFramedMessage, modules, 3), L"Framed by line breaks.");
    EXPECT_EQ(FormatSystemMessage(kFramedMessage, nullptr, 0), L"");
    // The system table has it: the modules are not consulted.
    EXPECT_EQ(FormatSystemMessage(ERROR_FILE_NOT_FOUND, &self, 1), L"File not found.");
}

TEST(GetErrorText, SystemMessagesWithAndWithoutTheCode) {
    EXPECT_EQ(GetErrorText(static_cast<HRESULT>(0x80070002), false), L"File not found.");
    EXPECT_EQ(GetErrorText(static_cast<HRESULT>(0x80070002), true), L"File not found. [0x80070002]");
}

TEST(GetErrorText, ACodeWithoutAnyMessageGivesOnlyTheSuffix) {
    EXPECT_EQ(GetErrorText(static_cast<HRESULT>(0xA00BCDEF), true), L" [0xa00bcdef]");
    EXPECT_EQ(GetErrorText(static_cast<HRESULT>(0xA00BCDEF), false), L"");
}

// wininet.dll is looked up, never loaded for the purpose: while it is not
// loaded, Internet errors are looked up in the system table like any other.
TEST(GetErrorText, InternetRangeNeedsWininetAlreadyLoaded) {
    ASSERT_EQ(GetModuleHandleW(L"wininet.dll"), nullptr);
    EXPECT_EQ(GetErrorText(static_cast<HRESULT>(0x80072EFD), true),
              FormatSystemMessage(0x80072EFD, nullptr, 0) + L" [0x80072efd]");
    EXPECT_EQ(GetModuleHandleW(L"wininet.dll"), nullptr);
}

class InternetErrorText : public ::testing::Test {
protected:
    void SetUp() override { m_wininet = LoadLibraryW(L"wininet.dll"); ASSERT_NE(m_wininet, nullptr); }
    void TearDown() override { FreeLibrary(m_wininet); }
    std::wstring FromWininet(DWORD id) { return FormatSystemMessage(id, &m_wininet, 1); }
    HMODULE m_wininet = nullptr;
};

TEST_F(InternetErrorText, InsideTheRangeTheLowWordIsLookedUpInWininet) {
    std::wstring text = GetErrorText(static_cast<HRESULT>(0x80072EFD), true);  // 12029
    ASSERT_FALSE(FromWininet(12029).empty());
    EXPECT_EQ(text, FromWininet(12029) + L" [0x80072efd]");
}

}  // namespace

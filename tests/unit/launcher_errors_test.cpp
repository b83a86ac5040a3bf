// The error model as the launcher links it: the standard library's throw
// sites taken over by the string layer (launcher/string_layer_errors.cpp,
// linked into this test alone), and Internet error texts taken from
// whatever module is loaded under the name wininet.dll.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "foundation/error_text.h"
#include "foundation/guarded.h"

namespace {

struct StringLayerCase {
    const char* what;
    void (*work)();
    HRESULT expected;
};

// A CAtlException becomes {its HRESULT, 849 or 489, "Exception"}; the
// runtime's own exceptions would give other outcomes (an index out of
// range: E_FAIL, 852).
const StringLayerCase kStringLayerCases[] = {
    {"string length", [] { std::wstring s; s.reserve(s.max_size() + 1); }, E_INVALIDARG},
    {"vector length", [] { std::vector<int> v; v.reserve(v.max_size() + 1); }, E_INVALIDARG},
    {"string index", [] { (void)std::wstring(L"ab").at(2); }, E_INVALIDARG},
    {"string position", [] { (void)std::wstring(L"ab").substr(3); }, E_INVALIDARG},
    {"allocator size", [] { (void)std::allocator<int>().allocate(PTRDIFF_MAX / sizeof(int) + 1); }, E_OUTOFMEMORY},
    {"allocation", [] { std::wstring s; s.reserve(s.max_size()); }, E_OUTOFMEMORY},  // more than 32 bits have
};

TEST(StringLayer, FailuresArriveAsTheStringLayersAtBothTopLevels) {
    for (const StringLayerCase& c : kStringLayerCases) {
        for (const auto& [guard, code] : {std::pair{kEntryPointGuard, 849}, std::pair{kWorkerGuard, 489}}) {
            CResult result = RunGuarded(guard, [&] {
                c.work();
                return CResult();
            });
            EXPECT_EQ(result.m_hr, c.expected) << c.what;
            EXPECT_EQ(result.m_code, code) << c.what;
            EXPECT_EQ(result.m_message, L"Exception") << c.what;
        }
    }
}

// Inside the Internet range (12000 to 12175) the text comes from the module
// loaded as wininet.dll, by the low word; outside it from the system's
// table, by the whole HRESULT. Wine's wininet.dll has no text at the edges,
// so a stand-in of that name with a text for each number on both sides of
// both edges shows where the range ends.
TEST(InternetErrorRange, RangeEdges) {
    ASSERT_EQ(GetModuleHandleW(L"wininet.dll"), nullptr);
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring standInPath = self;
    standInPath = standInPath.substr(0, standInPath.rfind(L'\\')) + L"\\standin\\wininet.dll";
    HMODULE standIn = LoadLibraryW(standInPath.c_str());
    ASSERT_NE(standIn, nullptr);
    ASSERT_EQ(GetModuleHandleW(L"wininet.dll"), standIn);
    ASSERT_EQ(FormatSystemMessage(11999, &standIn, 1), L"Internet error 11999.");
    ASSERT_EQ(FormatSystemMessage(12176, &standIn, 1), L"Internet error 12176.");

    EXPECT_EQ(GetErrorText(static_cast<HRESULT>(0x80072EE0), true), L"Internet error 12000. [0x80072ee0]");
    EXPECT_EQ(GetErrorText(static_cast<HRESULT>(0x80072F8F), false), L"Internet error 12175.");
    EXPECT_EQ(GetErrorText(static_cast<HRESULT>(0x80072EDF), false), FormatSystemMessage(0x80072EDF, nullptr, 0));
    EXPECT_EQ(GetErrorText(static_cast<HRESULT>(0x80072F90), false), FormatSystemMessage(0x80072F90, nullptr, 0));
    FreeLibrary(standIn);
}

}  // namespace

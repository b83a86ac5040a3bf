#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "foundation/text.h"

namespace {

std::wstring Encoded(const std::wstring& text) {
    std::wstring out = L"stale";
    CResult result = UrlEncode(text, out);
    EXPECT_EQ(result.m_hr, S_OK);
    return out;
}

TEST(UrlEncode, LettersAndDigitsPassEverythingElseIsEscaped) {
    EXPECT_EQ(Encoded(L"a b"), L"a%20b");
    EXPECT_EQ(Encoded(L"key-1.0"), L"key%2D1%2E0");
    EXPECT_EQ(Encoded(L"\u00e9"), L"%C3%A9");
    EXPECT_EQ(Encoded(L"_~*'()!"), L"%5F%7E%2A%27%28%29%21");
    EXPECT_EQ(Encoded(L"0,1,0,377"), L"0%2C1%2C0%2C377");
    EXPECT_EQ(Encoded(L"0123456789abcdefABCDEFXYZxyz"), L"0123456789abcdefABCDEFXYZxyz");
    EXPECT_EQ(Encoded(L"\U0001F600"), L"%F0%9F%98%80");
    EXPECT_EQ(Encoded(L""), L"");
}

TEST(UrlEncode, ThrowingFormCarriesTheConversionFailure) {
    std::wstring withZero(L"a\0b", 3);
    try {
        UrlEncodeOrThrow(withZero);
        FAIL() << "no exception";
    } catch (const CException& e) {
        EXPECT_EQ(e.m_hr, E_FAIL);
        EXPECT_EQ(e.m_code, 384);
    }
    EXPECT_EQ(UrlEncodeOrThrow(L"x y"), L"x%20y");
}

TEST(PercentEncode, EncodesEveryHighAndControlByte) {
    const unsigned char bytes[] = {0x00, 0x0A, 0x7F, 0x80, 0xFF, 'Z'};
    std::wstring out;
    ASSERT_EQ(PercentEncode(bytes, sizeof bytes, out).m_hr, S_OK);
    EXPECT_EQ(out, L"%00%0A%7F%80%FFZ");
}

TEST(PercentEncode, RefusesACountWhoseBufferSizeWouldWrap) {
    std::wstring out;
    CResult result = PercentEncode(reinterpret_cast<const unsigned char*>(""), SIZE_MAX / 2, out);
    EXPECT_EQ(result.m_hr, E_FAIL);
    EXPECT_EQ(result.m_code, 343);
}

TEST(ToUtf8, ConvertsAndFailsOnAnEmbeddedZero) {
    std::string out;
    ASSERT_EQ(ToUtf8(L"gr\u00fc\u00df \u20ac", out).m_hr, S_OK);
    EXPECT_EQ(out, "gr\xc3\xbc\xc3\x9f \xe2\x82\xac");
    ASSERT_EQ(ToUtf8(L"", out).m_hr, S_OK);
    EXPECT_EQ(out, "");
    for (const std::wstring& text : {std::wstring(L"ab\0cd", 5), std::wstring(L"\0x", 2), std::wstring(L"x\0", 2)}) {
        CResult result = ToUtf8(text, out);
        EXPECT_EQ(result.m_hr, E_FAIL);
        EXPECT_EQ(result.m_code, 384);
        EXPECT_TRUE(result.m_message.empty());
    }
}

TEST(ToUtf8, LoneSurrogateIsReplacedNotDropped) {
    std::string out;
    ASSERT_EQ(ToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800)), out).m_hr, S_OK);
    EXPECT_EQ(out, "\xef\xbf\xbd");
}

TEST(WidenAnsi, StopsAtTheFirstZeroByte) {
    EXPECT_EQ(WidenAnsi(std::string("ab\0cd", 5)), L"ab");
    EXPECT_EQ(WidenAnsi(std::string()), L"");
    EXPECT_EQ(WidenAnsi(std::string("\0x", 2)), L"");
    EXPECT_EQ(WidenAnsi("line 1\r\nline 2"), L"line 1\r\nline 2");
}

TEST(WidenAnsi, UsesTheAnsiCodePage) {
    ASSERT_EQ(GetACP(), 1252u) << "the test prefix runs with the Western code page";
    EXPECT_EQ(WidenAnsi("caf\xe9 \x80"), L"caf\u00e9 \u20ac");
}

TEST(Format, WideTextSixtyFourBitIntegersAndHex) {
    EXPECT_EQ(Format(L"%ws|%I64d|%08x|0x%08x", L"w", -1234567890123LL, 0x2Au, 0x80004005u),
              L"w|-1234567890123|0000002a|0x80004005");
    EXPECT_EQ(Format(L"%04d-%02d-%02d", 2009, 12, 31), L"2009-12-31");
    std::wstring longText(5000, L'x');
    EXPECT_EQ(Format(L"[%ws]", longText.c_str()), L"[" + longText + L"]");
}

TEST(FormatWindowsVersion, MajorMinorAndServicePack) {
    OSVERSIONINFOEXW version = {};
    version.dwMajorVersion = 6;
    version.dwMinorVersion = 1;
    version.wServicePackMajor = 1;
    EXPECT_EQ(FormatWindowsVersion(version), L"6.1.SP1");
    version.dwMajorVersion = 5;
    version.wServicePackMajor = 0;
    EXPECT_EQ(FormatWindowsVersion(version), L"5.1.SP0");
}

}  // namespace

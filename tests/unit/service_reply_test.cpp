#include <gtest/gtest.h>

#include "retrieval/service_reply.h"

namespace {

TEST(ServiceRequestUrl, FieldsInOrderEncoded) {
    EXPECT_EQ(BuildServiceRequestUrl(L"https://s:47443", L"0123456789abcdef0123456789ABCDEF01234567", L"0,1,0,377",
                                     L"A9993E364706816ABA3E25717850C26C9CD0D89D"),
              L"https://s:47443/getinstaller?key=0123456789abcdef0123456789ABCDEF01234567&version=0%2C1%2C0%2C377"
              L"&compressed=1&id=A9993E364706816ABA3E25717850C26C9CD0D89D");
    EXPECT_EQ(BuildServiceRequestUrl(L"https://s", L"k-1 &x", L"0,1,0,377", L""),
              L"https://s/getinstaller?key=k%2D1%20%26x&version=0%2C1%2C0%2C377&compressed=1");
}

TEST(ServiceReply, PrefixesAreExactAndTheRestIsUnchanged) {
    CServiceReply get = ParseServiceReply(L"GET:https://h/x.bin\r\n");
    EXPECT_EQ(get.kind, ReplyKind::Get);
    EXPECT_EQ(get.target, L"https://h/x.bin\r\n");
    EXPECT_EQ(ParseServiceReply(L"GET:").kind, ReplyKind::Get);
    EXPECT_EQ(ParseServiceReply(L"GET:").target, L"");
    CServiceReply page = ParseServiceReply(L"GOTO:https://h/page?a=b");
    EXPECT_EQ(page.kind, ReplyKind::Goto);
    EXPECT_EQ(page.target, L"https://h/page?a=b");
    for (const wchar_t* invalid : {L"get:https://h/x", L" GET:https://h/x", L"GET", L"", L"GOTO", L"Goto:x", L"GE"}) {
        EXPECT_EQ(ParseServiceReply(invalid).kind, ReplyKind::Invalid) << invalid;
    }
}

TEST(ServiceReply, OnlyWebLinksMayBeOpened) {
    EXPECT_TRUE(IsWebLink(L"https://h/page"));
    EXPECT_TRUE(IsWebLink(L"HTTP://h/page"));
    EXPECT_TRUE(IsWebLink(L"Https://h"));
    for (const wchar_t* other : {L"file:///C:/x.exe", L"C:\\Windows\\notepad.exe", L"calc", L"javascript:x",
                                 L" https://h", L"http:/h", L"ftp://h/", L"", L"\\\\server\\share\\x.exe"}) {
        EXPECT_FALSE(IsWebLink(other)) << other;
    }
}

TEST(GotoLink, EscapesWhatAUrlNeverCarriesRawAndDropsTheLineEnd) {
    const std::wstring key = L"?key=ab12";
    struct { const wchar_t* target; const wchar_t* link; } cases[] = {
        {L"https://h/a b", L"https://h/a%20b"},
        {L"https://h/\"", L"https://h/%22"},
        {L"https://h/<>\\^`{|}", L"https://h/%3C%3E%5C%5E%60%7B%7C%7D"},
        {L"https://h/caf\u00e9/\u20ac/\U0001F600", L"https://h/caf%C3%A9/%E2%82%AC/%F0%9F%98%80"},
        // What a URL may carry stays, an escape already in place included.
        {L"https://h/p%20q?a=1&b=~_-.!*'();:@+$,/#[]", L"https://h/p%20q?a=1&b=~_-.!*'();:@+$,/#[]"},
        {L"https://h/page\r\n", L"https://h/page"},
        {L"https://h/page\n", L"https://h/page"},
        {L"https://h/help page\" --new-window \"x\r\n", L"https://h/help%20page%22%20--new-window%20%22x"},
    };
    for (const auto& c : cases) EXPECT_EQ(BuildGotoLink(c.target, L"ab12"), c.link + key) << c.target;
}

}  // namespace

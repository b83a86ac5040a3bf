#include "retrieval/service_reply.h"

#include <cstring>
#include <cwchar>
#include <string>

#include "foundation/text.h"

namespace {

const wchar_t kGetPrefix[] = L"GET:";
const wchar_t kGotoPrefix[] = L"GOTO:";

bool StartsWith(const std::wstring& text, const wchar_t* prefix) { return text.compare(0, std::wcslen(prefix), prefix) == 0; }

bool StartsWithIgnoringCase(const std::wstring& text, const wchar_t* prefix) {
    size_t length = std::wcslen(prefix);
    return text.size() >= length && _wcsnicmp(text.c_str(), prefix, length) == 0;
}

bool IsControlCharacter(wchar_t c) { return c < 0x20 || c == 0x7F; }

// The length of a reply's target without its trailing line end (CR LF or LF).
size_t LengthWithoutLineEnd(const std::wstring& target) {
    size_t end = target.size();
    if (end >= 2 && target.compare(end - 2, 2, L"\r\n") == 0) return end - 2;
    if (end >= 1 && target[end - 1] == L'\n') return end - 1;
    return end;
}

// A control character anywhere before the reply's own trailing line end
// would reach the wire as part of a request line, or the shell.
bool HoldsControlCharacter(const std::wstring& target) {
    size_t end = LengthWithoutLineEnd(target);
    for (size_t i = 0; i < end; ++i) {
        if (IsControlCharacter(target[i])) return true;
    }
    return false;
}

// Bytes a URL never carries raw: the blank, the quotation mark (which would
// end the browser's quoted argument), the other unsafe ASCII characters, and
// every byte of a non-ASCII character.
bool NeedsEscapeInLink(unsigned char c) {
    static const char kUnsafe[] = " \"<>\\^`{|}";
    return c >= 0x80 || (c != '\0' && std::strchr(kUnsafe, c) != nullptr);
}

}  // namespace

std::wstring BuildServiceRequestUrl(const std::wstring& serviceUrl, const std::wstring& key,
                                    const std::wstring& version, const std::wstring& machineId) {
    std::wstring query = L"key=" + UrlEncodeOrThrow(key) + L"&version=" + UrlEncodeOrThrow(version) +
                         L"&compressed=1";
    if (!machineId.empty()) query += L"&id=" + UrlEncodeOrThrow(machineId);
    return serviceUrl + L"/getinstaller?" + query;
}

CServiceReply ParseServiceReply(const std::wstring& reply) {
    CServiceReply parsed;
    if (StartsWith(reply, kGetPrefix)) {
        parsed.kind = ReplyKind::Get;
        parsed.target = reply.substr(std::wcslen(kGetPrefix));
    } else if (StartsWith(reply, kGotoPrefix)) {
        parsed.kind = ReplyKind::Goto;
        parsed.target = reply.substr(std::wcslen(kGotoPrefix));
    }
    if (HoldsControlCharacter(parsed.target)) return CServiceReply();
    return parsed;
}

bool IsWebLink(const std::wstring& link) {
    return StartsWithIgnoringCase(link, L"http://") || StartsWithIgnoringCase(link, L"https://");
}

std::wstring BuildGotoLink(const std::wstring& target, const std::wstring& key) {
    std::string utf8 = ToUtf8OrThrow(target.substr(0, LengthWithoutLineEnd(target)));
    std::wstring link;
    for (unsigned char c : utf8) {
        if (NeedsEscapeInLink(c)) {
            AppendPercentEscape(link, c);
        } else {
            link += static_cast<wchar_t>(c);
        }
    }
    return link + L"?key=" + UrlEncodeOrThrow(key);
}

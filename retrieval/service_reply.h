// The service request and its one-line reply.
#pragma once

#include <string>

// serviceUrl + "/getinstaller?key=<key>&version=<version>&compressed=1[&id=<id>]",
// each value percent-encoded. Throws CException when a value cannot be encoded.
std::wstring BuildServiceRequestUrl(const std::wstring& serviceUrl, const std::wstring& key,
                                    const std::wstring& version, const std::wstring& machineId);

enum class ReplyKind { Get, Goto, Invalid };

struct CServiceReply {
    ReplyKind kind = ReplyKind::Invalid;
    std::wstring target;  // everything after "GET:" or "GOTO:", unchanged
};

// "GET:" + download URL, or "GOTO:" + page; exact letter case, no trimming.
// A target with a control character (U+0000-U+001F, U+007F) before the
// reply's trailing line end (CR LF or LF, kept as it is) is invalid.
CServiceReply ParseServiceReply(const std::wstring& reply);

// The page a "GOTO:" reply names, fit for the shell: its trailing line end
// dropped, every character a URL never carries raw (blank, quotation mark,
// < > \ ^ ` { | } and all non-ASCII, as UTF-8) written "%XX", then "?key="
// and the encoded key. Throws CException when a text cannot be converted.
std::wstring BuildGotoLink(const std::wstring& target, const std::wstring& key);

// A page may only be opened in the browser when it is a web address.
bool IsWebLink(const std::wstring& link);

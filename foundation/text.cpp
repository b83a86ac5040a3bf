#include "foundation/text.h"

#include <cstdarg>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool PassesUnencoded(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

}  // namespace

std::wstring Format(const wchar_t* format, ...) {
    // Grows until the text fits; a format the runtime refuses (-1 at any
    // size) stops at the cap with what was written.
    constexpr size_t kMaxChars = 1u << 22;
    std::vector<wchar_t> buffer(256);
    for (;;) {
        va_list args;
        va_start(args, format);
        int written = _vsnwprintf(buffer.data(), buffer.size(), format, args);
        va_end(args);
        if (written >= 0 && static_cast<size_t>(written) < buffer.size()) {
            return std::wstring(buffer.data(), static_cast<size_t>(written));
        }
        if (buffer.size() >= kMaxChars) {
            buffer.back() = L'\0';
            return std::wstring(buffer.data());
        }
        buffer.resize(buffer.size() * 2);
    }
}

CResult ToUtf8(const std::wstring& text, std::string& utf8) {
    utf8.clear();
    int measured = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (measured == 0) return CResult::FromLastError(378);
    int expected = measured - 1;
    std::string converted(static_cast<size_t>(expected), '\0');
    int produced = 0;
    if (!text.empty()) {
        produced = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       converted.empty() ? nullptr : &converted[0], expected, nullptr,
                                       nullptr);
    }
    if (produced != expected) return CResult(E_FAIL, 384);
    utf8.swap(converted);
    return CResult();
}

std::string ToUtf8OrThrow(const std::wstring& text) {
    std::string utf8;
    ThrowIfFailed(ToUtf8(text, utf8));
    return utf8;
}

std::wstring WidenAnsi(const char* text, size_t count) {
    if (count == 0) return std::wstring();
    const void* zero = std::memchr(text, 0, count);
    if (zero != nullptr) count = static_cast<size_t>(static_cast<const char*>(zero) - text);
    if (count == 0 || count > static_cast<size_t>(INT_MAX)) return std::wstring();
    int wideCount = MultiByteToWideChar(CP_THREAD_ACP, 0, text, static_cast<int>(count), nullptr, 0);
    if (wideCount <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(wideCount), L'\0');
    wideCount = MultiByteToWideChar(CP_THREAD_ACP, 0, text, static_cast<int>(count), &wide[0], wideCount);
    if (wideCount <= 0) return std::wstring();
    wide.resize(static_cast<size_t>(wideCount));
    return wide;
}

std::wstring WidenAnsi(const char* text) { return WidenAnsi(text, std::strlen(text)); }

std::wstring WidenAnsi(const std::string& text) { return WidenAnsi(text.data(), text.size()); }

std::string ToAnsi(const std::wstring& text) {
    int count = WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (count - 1 <= 0) return std::string();
    std::string narrow(static_cast<size_t>(count), '\0');
    count = WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), -1, &narrow[0], count, nullptr, nullptr);
    narrow.resize(count > 0 ? static_cast<size_t>(count - 1) : 0);
    return narrow;
}

CResult PercentEncode(const unsigned char* bytes, size_t count, std::wstring& encoded) {
    // count * 3 + 1 must not wrap around on a 32-bit size_t.
    if (count > (SIZE_MAX - 1) / 3) return CResult(E_FAIL, 343);
    std::unique_ptr<char[]> work(new (std::nothrow) char[count * 3 + 1]());
    if (!work) return CResult(E_FAIL, 343);
    char* out = work.get();
    for (size_t i = 0; i < count; ++i) {
        unsigned char c = bytes[i];
        if (PassesUnencoded(c)) {
            *out++ = static_cast<char>(c);
        } else {
            *out++ = '%';
            *out++ = kHexDigits[c >> 4];
            *out++ = kHexDigits[c & 0x0F];
        }
    }
    encoded = WidenAnsi(work.get());
    return CResult();
}

void AppendPercentEscape(std::wstring& text, unsigned char byte) {
    text += L'%';
    text += static_cast<wchar_t>(kHexDigits[byte >> 4]);
    text += static_cast<wchar_t>(kHexDigits[byte & 0x0F]);
}

CResult UrlEncode(const std::wstring& text, std::wstring& encoded) {
    encoded.clear();
    if (text.empty()) return CResult();
    std::string utf8;
    CResult converted = ToUtf8(text, utf8);
    if (converted.Failed()) return Propagate(converted, 442);
    return PercentEncode(reinterpret_cast<const unsigned char*>(utf8.data()), utf8.size(), encoded);
}

std::wstring UrlEncodeOrThrow(const std::wstring& text) {
    std::wstring encoded;
    ThrowIfFailed(UrlEncode(text, encoded));
    return encoded;
}

std::wstring FormatWindowsVersion(const OSVERSIONINFOEXW& version) {
    return Format(L"%d.%d.SP%d", static_cast<int>(version.dwMajorVersion),
                  static_cast<int>(version.dwMinorVersion), static_cast<int>(version.wServicePackMajor));
}

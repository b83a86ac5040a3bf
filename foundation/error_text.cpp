#include "foundation/error_text.h"

#include "foundation/handles.h"
#include "foundation/text.h"

namespace {

constexpr DWORD kSystemFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
constexpr DWORD kLanguage = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);

constexpr HRESULT kFirstInternetHResult = static_cast<HRESULT>(0x80072EE0);  // error 12000
constexpr HRESULT kLastInternetHResult = static_cast<HRESULT>(0x80072F8F);   // error 12175

const wchar_t kSeparator[] = L" - ";

bool IsLineBreak(wchar_t c) { return c == L'\r' || c == L'\n'; }

std::wstring TrimLineBreaks(const wchar_t* text) {
    std::wstring s = text;
    size_t end = s.size();
    while (end > 0 && IsLineBreak(s[end - 1])) --end;
    size_t begin = 0;
    while (begin < end && IsLineBreak(s[begin])) ++begin;
    return s.substr(begin, end - begin);
}

// Calls FormatMessageW; the returned buffer is owned by `buffer`.
DWORD FormatInto(DWORD flags, HMODULE source, DWORD id, LocalMemory& buffer) {
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(flags, source, id, kLanguage, reinterpret_cast<wchar_t*>(&text), 0,
                                  nullptr);
    buffer.reset(text);
    return length;
}

}  // namespace

std::wstring FormatSystemMessage(DWORD id, const HMODULE* modules, int count) {
    LocalMemory buffer;
    if (FormatInto(kSystemFlags, nullptr, id, buffer) == 0) {
        if (GetLastError() != ERROR_MR_MID_NOT_FOUND) return std::wstring();
        for (int i = 0; i < count; ++i) {
            if (modules[i] == nullptr) continue;
            if (FormatInto(kSystemFlags | FORMAT_MESSAGE_FROM_HMODULE, modules[i], id, buffer) != 0) break;
        }
    }
    if (!buffer) return std::wstring();
    return TrimLineBreaks(static_cast<const wchar_t*>(buffer.get()));
}

std::wstring GetErrorText(HRESULT hr, bool withCode) {
    std::wstring suffix = withCode ? Format(L" [0x%08x]", static_cast<unsigned>(hr)) : std::wstring();
    std::wstring text;
    HMODULE wininet = nullptr;
    if (hr >= kFirstInternetHResult && hr <= kLastInternetHResult) wininet = GetModuleHandleW(L"wininet.dll");
    if (wininet != nullptr) {
        text = FormatSystemMessage(static_cast<DWORD>(hr) & 0xFFFF, &wininet, 1);
    } else {
        text = FormatSystemMessage(static_cast<DWORD>(hr), nullptr, 0);
    }
    return text + suffix;
}

std::wstring DescribeResult(CResult outcome) {
    std::wstring text = L"Failed";
    if (!outcome.m_message.empty()) text += kSeparator + outcome.m_message;
    if (outcome.m_hr != E_FAIL) {
        std::wstring errorText = GetErrorText(outcome.m_hr, false);
        if (!errorText.empty()) text += kSeparator + errorText;
    }
    if (outcome.m_code != 0) text += kSeparator + Format(L"%d", outcome.m_code);
    return text;
}

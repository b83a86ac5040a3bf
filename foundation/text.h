// Text conversion, printf-style formatting and URL query encoding.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

#include "foundation/result.h"

// printf-style formatting into a wide string ("%ws", "%I64d", "%08x"...).
std::wstring Format(const wchar_t* format, ...);

// UTF-16 to UTF-8. Site codes 378 (measuring failed), 384 (converted length
// differs, which is what a text with an embedded zero character gets).
CResult ToUtf8(const std::wstring& text, std::string& utf8);
std::string ToUtf8OrThrow(const std::wstring& text);

// Narrow text in the thread's ANSI code page to wide text, up to the first
// zero byte. Never fails visibly: empty in, empty out.
std::wstring WidenAnsi(const std::string& text);
std::wstring WidenAnsi(const char* text);
std::wstring WidenAnsi(const char* bytes, size_t count);  // bytes need not end with a zero

// ASCII letters and digits pass; every other byte becomes "%XX" (upper case).
// Site code 343 when the work buffer cannot be had.
CResult PercentEncode(const unsigned char* bytes, size_t count, std::wstring& encoded);

// Appends "%XX" (upper case) for one byte.
void AppendPercentEscape(std::wstring& text, unsigned char byte);

// PercentEncode of the UTF-8 form of `text`; conversion failures keep their
// own codes (442 stands in for a zero one).
CResult UrlEncode(const std::wstring& text, std::wstring& encoded);
std::wstring UrlEncodeOrThrow(const std::wstring& text);

// Wide text to the thread's ANSI code page; characters it lacks become '?'.
std::string ToAnsi(const std::wstring& text);

// "%d.%d.SP%d": major, minor and service-pack major version.
std::wstring FormatWindowsVersion(const OSVERSIONINFOEXW& version);

// Readable text for HRESULTs, from the system's and the Internet library's
// message tables.
#pragma once

#include <windows.h>

#include <string>

#include "foundation/result.h"

// The message for `id` from the system table; only when the system has no
// such message (ERROR_MR_MID_NOT_FOUND), from the first of `modules` that has
// it. Leading and trailing CR/LF are trimmed. Empty when nothing matches.
std::wstring FormatSystemMessage(DWORD id, const HMODULE* modules, int count);

// Text for an HRESULT; WinINet's range (0x80072EE0..0x80072F8F) is looked up
// in the already loaded wininet.dll. With `withCode` the text is followed by
// " [0x%08x]".
std::wstring GetErrorText(HRESULT hr, bool withCode);

// One line for a failed outcome (the run report's): "Failed", then " - "
// before each of the message (when not empty), the error text (when the
// HRESULT is not E_FAIL and has one) and the site code (when not 0).
std::wstring DescribeResult(CResult outcome);

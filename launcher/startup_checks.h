// The two checks before any work: the system and the clock.
#pragma once

#include <windows.h>

#include <string>

#include "foundation/result.h"

// The running system's extended version record (all 0 when unavailable).
OSVERSIONINFOEXW QuerySystemVersion();

// Windows XP (5.1) or later of the NT platform; 678 otherwise, with the
// major, minor and platform numbers in the message.
CResult CheckSystemVersion(const OSVERSIONINFOEXW& version);

// A local year of 2010 or later; 687 otherwise, with the date in the message.
CResult CheckClock(const SYSTEMTIME& localTime);

// The key switch value without a leading "quillo:" (exact letter case).
std::wstring KeyFromSwitch(const std::wstring& value);

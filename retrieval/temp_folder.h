// The temporary folder that work folders and temporary cache entries go to.
#pragma once

#include <windows.h>

#include <string>

#include "foundation/result.h"

using GetTempPathFunction = DWORD WINAPI(DWORD, LPWSTR);

// GetTempPath2W where kernel32 exports it (newer systems; null elsewhere).
// For SYSTEM it names the system's own temporary folder, which only SYSTEM
// and administrators reach; for anyone else it answers as GetTempPathW.
GetTempPathFunction* PreferredTempPathFunction();

// The temporary folder, ending with a backslash: from `preferred` when given,
// else from GetTempPathW. 283 with the call's error when it fails or the
// path does not fit its 1040-character buffer.
CResult GetTemporaryFolder(std::wstring& folder, GetTempPathFunction* preferred = PreferredTempPathFunction());

// The launcher's own file and folder.
#pragma once

#include <string>

// Full path of the launcher's own file. Throws CAtlException.
std::wstring GetModulePath();

// That path without its last backslash and file name. Throws CAtlException
// (E_FAIL when the path holds no backslash).
std::wstring GetModuleFolder();
// The same cut on a given path, for callers (and tests) that have one.
std::wstring FolderOfPath(const std::wstring& path);

// Small file-system operations of a run: unique names, the launcher's own
// path, copies that only ever expose complete files, and folder removal.
#pragma once

#include <windows.h>

#include <string>

#include "foundation/result.h"

// A new sequential UUID as text (36 lower-case characters with hyphens). A
// locally unique UUID is fine here. Throws CAtlException on failure.
std::wstring NewUuidText();

// Full path of the launcher's own file. Throws CAtlException.
std::wstring GetModulePath();

// That path without its last backslash and file name. Throws CAtlException
// (E_FAIL when the path holds no backslash).
std::wstring GetModuleFolder();
// The same cut on a given path, for callers (and tests) that have one.
std::wstring FolderOfPath(const std::wstring& path);

// Copies `source` to a temporary name beside `target`, then renames it onto
// `target` (replacing it unless `failIfExists`). 200 copy failed, 206 rename
// failed (the temporary file is removed).
CResult SafeCopyFile(const std::wstring& source, const std::wstring& target, bool failIfExists);

// Removes everything below `folder` that can be removed, then the folder
// itself when nothing failed. Links (junctions, symbolic links) are removed
// as links; their targets are never entered. Returns the last failure as an HRESULT (0 when
// all is gone); `failedPath`, when given, receives the path that failed last.
HRESULT DeleteFolderTree(const std::wstring& folder, std::wstring* failedPath = nullptr);

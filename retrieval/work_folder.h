// Small file-system operations of a run: unique names, copies that only ever
// expose complete files, and folder removal.
#pragma once

#include <windows.h>

#include <string>
#include <utility>

#include "foundation/handles.h"
#include "foundation/result.h"

// A new sequential UUID as text (36 lower-case characters with hyphens). A
// locally unique UUID is fine here. Throws CAtlException on failure.
std::wstring NewUuidText();

// Copies the whole of the open file `source` to a new
// file beside `target` under a temporary name, created with `security` (null:
// what the folder passes on), then renames it onto `target` (replacing it
// unless `failIfExists`). 200 copy failed, 206 rename failed; either way no
// temporary file is left (a copy that failed half-way, on a full disk say, is
// removed too).
CResult SafeCopyFile(HANDLE source, const std::wstring& target, bool failIfExists,
                     SECURITY_ATTRIBUTES* security = nullptr);
// The same from a path, which is opened for reading first (200 when it cannot be).
CResult SafeCopyFile(const std::wstring& source, const std::wstring& target, bool failIfExists,
                     SECURITY_ATTRIBUTES* security = nullptr);

// Removes everything below `folder` that can be removed, then the folder
// itself when nothing failed. Links (junctions, symbolic links) are removed
// as links, `folder` itself included; their targets are never entered. Returns the last failure as an HRESULT (0 when
// all is gone); `failedPath`, when given, receives the path that failed last.
HRESULT DeleteFolderTree(const std::wstring& folder, std::wstring* failedPath = nullptr);

// The installer's name in the work folder.
inline constexpr wchar_t kInstallerFileName[] = L"Quillo.exe";

// The run's work folder, removed with everything in it when its owner goes
// out of scope (a run that failed, or left by an exception), unless the
// folder was kept or already removed. While it is owned, it is held open
// without sharing its deletion: a later run's cleanup sees it in use.
class CWorkFolder {
public:
    explicit CWorkFolder(std::wstring path);
    ~CWorkFolder();
    CWorkFolder(const CWorkFolder&) = delete;
    CWorkFolder& operator=(const CWorkFolder&) = delete;

    const std::wstring& path() const { return m_path; }
    void Remove();  // now, result ignored
    void Keep();    // never: something may still use it

private:
    std::wstring m_path;
    UniqueHandle m_hold;
    bool m_owned = true;
};

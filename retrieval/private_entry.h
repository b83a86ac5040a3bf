// Files the launcher keeps between runs (cache entries, kept partials) in
// folders that other users may be able to write: each is opened as itself,
// never through a link, and trusted only when it is private.
#pragma once

#include <windows.h>

#include <string>

#include "foundation/handles.h"
#include "foundation/private_access.h"

// Opens `path` itself with `access` and `share`. False when it cannot;
// `found` then tells whether anything stands at the name (a folder, a file
// held open, one the user may not open) rather than nothing at all.
bool OpenEntry(const std::wstring& path, DWORD access, DWORD share, UniqueHandle& entry, bool& found);

// A plain file with one name: not a folder, not a link, not a second name
// of a file kept elsewhere.
bool IsPlainFile(HANDLE entry);

// A plain file that is also private (CPrivateAccess).
bool IsPrivatePlainFile(const CPrivateAccess& access, HANDLE entry);

// The download cache: installers kept by a name derived from what the server
// says of the download (size, Last-Modified) and its URL, in a folder next to
// the launcher ("QuilloDownloads\Files", persistent) or in the temporary
// folder (removed at the next restart). Other users may be able to write
// there: only private entries (a plain file that the process's user, SYSTEM
// or the Administrators group own, and that nobody else may change) are
// used, and entries are stored with the private access. Whatever else stands
// at an entry's name is a miss, never a failure of the run.
#pragma once

#include <windows.h>

#include <string>

#include "foundation/handles.h"
#include "foundation/private_access.h"
#include "foundation/result.h"

// Entries, and the partials of downloads under way, are named by this and
// 40 hex digits.
inline constexpr wchar_t kEntryPrefix[] = L"-";

struct CCacheSetup {
    std::wstring folder;  // ends with a backslash
    bool inTemp = true;
};

// The entry of this run's download. After a hit, `checked` is the entry
// itself, open from its check until the installer copied from it has passed
// or failed its own check: its date is set and, when the installer fails,
// it is deleted through this handle, never by its name again.
struct CCacheEntry {
    std::wstring path;
    UniqueHandle checked;
    bool unusable = false;  // something stood at the name that could not be used
};

// Chooses the cache folder; the persistent folder's existence (any kind of
// object by that name) also turns the cache on (g_cacheEnabled).
CCacheSetup SetUpCache(const std::wstring& tempFolder);

// Probes the download's size and date, names the entry, and on a hit copies
// it to `installerPath` and refreshes its date. An entry that cannot be
// opened, is not a plain file or is not private is a miss. Its checks, the
// copy and the date all go through one handle, so the entry cannot be
// swapped in between. 312 probe, 316 name, 319 copy (200 or 206 from the
// copy itself, which keep theirs).
CResult LookUpCache(const CCacheSetup& cache, const CPrivateAccess& access, const std::wstring& downloadUrl,
                    const std::wstring& installerPath, CCacheEntry& entry, bool& hit);

// Ends a hit: the entry is kept when the installer passed its check, else
// deleted through the checked handle.
void ReleaseCacheHit(CCacheEntry& entry, bool passed);

// Copies a freshly downloaded installer from its open file into the cache,
// with the private access, replacing what stands at the name. Failures are
// ignored; when an unusable entry cannot be replaced, the run report says in
// one line that the cache was skipped.
void StoreInCache(const CCacheSetup& cache, CPrivateAccess& access, HANDLE installer, const CCacheEntry& entry);

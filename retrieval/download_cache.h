// The download cache: installers kept by a name derived from what the server
// says of the download (size, Last-Modified) and its URL, in a folder next to
// the launcher ("QuilloDownloads\Files", persistent) or in the temporary
// folder (removed at the next restart). Other users may be able to write
// there: only entries that the process's user, SYSTEM or the Administrators
// group own are used, and entries are stored with the private access.
#pragma once

#include <windows.h>

#include <string>

#include "foundation/private_access.h"
#include "foundation/result.h"

struct CCacheSetup {
    std::wstring folder;  // ends with a backslash
    bool inTemp = true;
};

// Chooses the cache folder; the persistent folder's existence (any kind of
// object by that name) also turns the cache on (g_cacheEnabled).
CCacheSetup SetUpCache(const std::wstring& tempFolder);

// Probes the download's size and date, names the entry, and on a hit copies
// it to `installerPath` and refreshes its date. An entry that is not a plain
// file of a trusted owner is a miss. The owner is read from the handle the
// copy then reads, so the entry cannot be swapped in between. 312 probe, 316
// name, 319 copy (200 or 206 from the copy itself, which keep theirs).
CResult LookUpCache(const CCacheSetup& cache, const CPrivateAccess& access, const std::wstring& downloadUrl,
                    const std::wstring& installerPath, std::wstring& cacheFile, bool& hit);

// Copies a freshly downloaded installer from its open file into the cache,
// with the private access; failures are ignored.
void StoreInCache(const CCacheSetup& cache, CPrivateAccess& access, HANDLE installer, const std::wstring& cacheFile);

// The download cache: installers kept by a name derived from what the server
// says of the download (size, Last-Modified) and its URL, in a folder next to
// the launcher ("QuilloDownloads\Files", persistent) or in the temporary
// folder (removed at the next restart).
#pragma once

#include <string>

#include "foundation/result.h"

struct CCacheSetup {
    std::wstring folder;  // ends with a backslash
    bool inTemp = true;
};

// Chooses the cache folder; the persistent folder's existence (any kind of
// object by that name) also turns the cache on (g_cacheEnabled).
CCacheSetup SetUpCache(const std::wstring& tempFolder);

// Probes the download's size and date, names the entry, and on a hit copies
// it to `installerPath` and refreshes its date. 312 probe, 316 name, 319 copy.
CResult LookUpCache(const CCacheSetup& cache, const std::wstring& downloadUrl, const std::wstring& installerPath,
                    std::wstring& cacheFile, bool& hit);

// Copies a freshly downloaded installer into the cache; failures are ignored.
void StoreInCache(const CCacheSetup& cache, const std::wstring& installerPath, const std::wstring& cacheFile);

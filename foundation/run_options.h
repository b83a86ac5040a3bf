// Run-wide options and state: set from the command line before any other
// thread exists, then read (and in a few named places written) by the workflow.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "foundation/handles.h"
#include "foundation/proxy_credentials.h"
#include "foundation/result.h"

extern const wchar_t* g_programName;                           // "Loomcraft"
extern bool g_silent;                                          // "/silent"
extern bool g_cacheEnabled;                                    // cache switch, or the persistent cache folder
extern bool g_resumeEnabled;                                   // downloads resume across runs, unless "/noresume"
extern std::vector<std::wstring> g_passThroughArgs;            // forwarded to the installer
extern std::unique_ptr<CProxyCredentials> g_proxyCredentials;  // "/proxyauth", or entered in the dialog
extern int g_proxyRefusals;                                    // credentials a proxy refused in this run
extern std::wstring g_key;                                     // the key in use
extern std::wstring g_version;                                 // "0,1,0,377"
extern std::atomic<bool> g_noCancel;                           // set once the installer is about to start
extern UniqueHandle g_workerThread;                            // interactive mode's worker
extern CResult g_workerResult;                                 // the worker's outcome
extern std::wstring g_reportNotes;                             // lines the run report puts first (a skipped cache)

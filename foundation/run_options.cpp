#include "foundation/run_options.h"

const wchar_t* g_programName = L"Loomcraft";
bool g_silent = false;
bool g_cacheEnabled = false;
bool g_resumeEnabled = true;
std::vector<std::wstring> g_passThroughArgs;
std::unique_ptr<CProxyCredentials> g_proxyCredentials;
int g_proxyRefusals = 0;
std::wstring g_key;
std::wstring g_version;
std::atomic<bool> g_noCancel{false};
UniqueHandle g_workerThread;
CResult g_workerResult = CResult::NotYetRun();
std::wstring g_reportNotes;

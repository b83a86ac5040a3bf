#include "launcher/prepare_and_run.h"

#include <windows.h>

#include "foundation/run_options.h"
#include "foundation/text.h"
#include "launcher/embedded_key.h"
#include "launcher/progress_window.h"
#include "launcher/startup_checks.h"
#include "resources/resource_ids.h"
#include "retrieval/workflow.h"

namespace {

// The key switch wins; otherwise the key stamped into the launcher's own file.
CResult ObtainKey(const std::wstring& keySwitchValue) {
    if (!keySwitchValue.empty()) {
        g_key = KeyFromSwitch(keySwitchValue);
        return CResult();
    }
    std::string embedded;
    CResult read = ReadEmbeddedKey(GetModuleHandleW(nullptr), embedded);
    if (read.Failed()) return Propagate(read, 696);
    g_key = WidenAnsi(embedded);
    return CResult();
}

}  // namespace

CResult PrepareAndRun(std::wstring version, std::wstring keySwitchValue, std::wstring& keyText,
                      std::wstring& reportText) {
    CResult checked = CheckSystemVersion(QuerySystemVersion());
    if (checked.Failed()) return checked;
    SYSTEMTIME now;
    GetLocalTime(&now);
    checked = CheckClock(now);
    if (checked.Failed()) return checked;
    CResult key = ObtainKey(keySwitchValue);
    if (key.Failed()) return key;

    keyText = g_key;
    g_version = version;

    if (g_silent) return RetrieveAndLaunchInstaller(nullptr, g_key, version, &reportText);

    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PROGRESS), nullptr, ProgressDialogProc, 0);
    WaitForSingleObject(g_workerThread.get(), INFINITE);
    return g_workerResult;
}

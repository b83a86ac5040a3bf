// Entry point: options from the command line, one guarded run, the run
// report, the failure report and the exit code.
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "foundation/guarded.h"
#include "foundation/handles.h"
#include "foundation/run_options.h"
#include "foundation/run_report.h"
#include "foundation/system_library.h"
#include "http/transfer.h"
#include "launcher/command_line.h"
#include "launcher/crash_filter.h"
#include "launcher/failure_report.h"
#include "launcher/prepare_and_run.h"
#include "launcher/proxy_dialog.h"
#include "resources/resource_ids.h"

namespace {

constexpr int kVersionChars = 128;

std::wstring LoadVersionString() {
    wchar_t buffer[kVersionChars] = {};
    LoadStringW(GetModuleHandleW(nullptr), IDS_VERSION, buffer, kVersionChars);
    return buffer;
}

// The argument block may hold a proxy password ("/proxyauth"): all that is
// needed of it was copied, and it is wiped before it goes back.
void WipeArguments(LocalMemory& block) {
    if (block) SecureZeroMemory(block.get(), LocalSize(block.get()));
    block.reset();
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // Before anything can load a DLL: none may come from the launcher's own
    // folder or the current folder.
    RestrictDllSearchToSystemFolder();
    g_programName = L"Loomcraft";
    InstallCrashFilter();

    std::wstring version = LoadVersionString();

    int count = 0;
    LocalMemory argumentArray(CommandLineToArgvW(GetCommandLineW(), &count));
    if (!argumentArray) count = 0;
    const wchar_t* const* args = static_cast<const wchar_t* const*>(argumentArray.get());

    g_silent = false;
    g_cacheEnabled = false;
    CCommandLineValues values = ParseCommandLine(count, args);
    WipeArguments(argumentArray);
    SetProxyCredentialsPrompt(AskForProxyCredentials);

    std::wstring keyText;
    std::wstring reportText;
    CResult outcome = CResult::NotYetRun();
    outcome = RunGuarded(kEntryPointGuard, [&] {
        return PrepareAndRun(version, values.keySwitchValue, keyText, reportText);
    });
    g_proxyCredentials.reset();  // the password is wiped now, not at some later exit

    WriteRunReport(values.reportTarget, reportText, outcome, g_reportNotes);

    if (outcome.Failed()) {
        if (!g_silent) ReportFailure(outcome, version, keyText);
        return outcome.m_hr;
    }
    return 0;
}

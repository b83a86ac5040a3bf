#include "launcher/progress_window.h"

#include <commctrl.h>

#include <string>

#include "foundation/dialog.h"
#include "foundation/dialog_scaling.h"
#include "foundation/error_text.h"
#include "foundation/guarded.h"
#include "foundation/run_options.h"
#include "resources/resource_ids.h"
#include "retrieval/workflow.h"

namespace {

// One progress window per process: its icons and, where the layout is ours, its font.
CDialogScaling g_progressScaling(IDD_PROGRESS, IDI_LAUNCHER);

void StartMarquee(HWND window) {
    HWND bar = GetDlgItem(window, IDC_PROGRESS_BAR);
    LONG style = GetWindowLongW(bar, GWL_STYLE);
    if ((style & PBS_MARQUEE) == 0) SetWindowLongW(bar, GWL_STYLE, style | PBS_MARQUEE);
    SendMessageW(bar, PBM_SETMARQUEE, TRUE, 0);
}

// Without its worker the window would wait for ever: the user is told why
// and the process ends.
void StartWorker(HWND window) {
    g_workerThread.reset(CreateThread(nullptr, 0, WorkerThreadProc, window, 0, nullptr));
    if (g_workerThread) return;
    HRESULT hr = HResultFromLastError();
    MessageBoxW(nullptr, FormatSystemMessage(static_cast<DWORD>(hr), nullptr, 0).c_str(), L"Error", MB_OK);
    TerminateProcess(GetCurrentProcess(), kCancelledExitCode);
}

INT_PTR OnCommand(HWND window, WPARAM wParam) {
    if (LOWORD(wParam) == IDCANCEL) {
        // Until the installer is about to start, Cancel leaves everything as
        // it is: no report, no failure report, downloads and folders stay.
        if (!g_noCancel) TerminateProcess(GetCurrentProcess(), kCancelledExitCode);
        return TRUE;
    }
    if (LOWORD(wParam) == kWorkerDoneCommand) {
        EndDialog(window, static_cast<INT_PTR>(wParam));
        return TRUE;
    }
    return FALSE;
}

}  // namespace

INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    INT_PTR result = FALSE;
    if (g_progressScaling.HandleMessage(window, message, wParam, lParam, result)) return result;
    switch (message) {
        case WM_INITDIALOG:
            g_progressScaling.Initialize(window);  // laid out for its DPI, with its icons
            CenterWindow(window);
            StartMarquee(window);
            StartWorker(window);
            return TRUE;
        case WM_COMMAND:
            return OnCommand(window, wParam);
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSTATIC:
            return WhiteBackground();
        default:
            return FALSE;
    }
}

DWORD WINAPI WorkerThreadProc(LPVOID parameter) {
    HWND window = static_cast<HWND>(parameter);
    CResult outcome = RunGuarded(kWorkerGuard, [window] {
        std::wstring reportText;  // only silent mode writes a report
        std::wstring key = g_key;
        std::wstring version = g_version;
        return RetrieveAndLaunchInstaller(window, key, version, &reportText);
    });
    g_workerResult = outcome;
    SendMessageW(window, WM_COMMAND, kWorkerDoneCommand, 0);
    return 0;
}

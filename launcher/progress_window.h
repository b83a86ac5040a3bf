// The progress window of interactive mode (dialog 129) and its worker thread,
// which runs the retrieval workflow behind it.
#pragma once

#include <windows.h>

// The command the worker sends to close the window (no control has this id).
constexpr WPARAM kWorkerDoneCommand = 6;
// The exit code of a run the user cancelled, or whose worker could not start.
constexpr UINT kCancelledExitCode = 1;

// Dialog 129: centred, with the launcher's icons and a marquee bar; starts
// the worker on WM_INITDIALOG. Cancel ends the process at once (exit code 1)
// until g_noCancel is set, and is ignored after.
INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Runs the workflow with the window's handle (exceptions become 489/492),
// leaves the outcome in g_workerResult and closes the window. Returns 0.
DWORD WINAPI WorkerThreadProc(LPVOID window);

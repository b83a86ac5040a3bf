// The display scale (DPI) a window is shown at, and what is sized for it.
// Every function newer than Windows XP is looked up at run time; where the
// system lacks it, the system-wide values of older systems serve.
#pragma once

#include <windows.h>

// The DPI of the monitor `window` is on, where the system tracks it per
// window (Windows 10 1607 and later); 0 elsewhere: there every window has the
// system's DPI, which the dialog manager and GetSystemMetrics already use.
UINT WindowDpi(HWND window);

// The DPI the dialog manager lays out a dialog for on systems without
// per-monitor scaling of dialogs: the system's.
UINT SystemDpi();

// Whether the dialog manager itself lays `window` out again when its DPI
// changes (per-monitor v2 dialogs, Windows 10 1703 and later).
bool DialogManagerFollowsDpi(HWND window);

// GetSystemMetrics for `dpi` (0: the system's).
int SystemMetricForDpi(int index, UINT dpi);

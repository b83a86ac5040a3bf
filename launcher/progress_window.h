// The progress window of interactive mode (dialog 129).
#pragma once

#include <windows.h>

INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

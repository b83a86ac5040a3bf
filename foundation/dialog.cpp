#include "foundation/dialog.h"

namespace {

RECT WindowRect(HWND window) {
    RECT rect = {};
    GetWindowRect(window, &rect);
    return rect;
}

LONG Width(const RECT& r) { return r.right - r.left; }
LONG Height(const RECT& r) { return r.bottom - r.top; }

}  // namespace

void CenterWindow(HWND window) {
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor);
    const RECT& area = monitor.rcWork;
    HWND owner = GetWindow(window, GW_OWNER);
    bool overOwner = owner != nullptr && IsWindowVisible(owner) && !IsIconic(owner);
    RECT around = overOwner ? WindowRect(owner) : area;
    RECT self = WindowRect(window);
    LONG x = around.left + (Width(around) - Width(self)) / 2;
    LONG y = around.top + (Height(around) - Height(self)) / 2;
    if (x + Width(self) > area.right) x = area.right - Width(self);
    if (y + Height(self) > area.bottom) y = area.bottom - Height(self);
    if (x < area.left) x = area.left;
    if (y < area.top) y = area.top;
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR WhiteBackground() { return reinterpret_cast<INT_PTR>(GetStockObject(WHITE_BRUSH)); }

INT_PTR CDialog::DoModal(HWND parent) {
    return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(m_templateId), parent, DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // The object arrives with WM_INITDIALOG; the few messages before it get
    // the default handling.
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        reinterpret_cast<CDialog*>(lParam)->m_hWnd = window;
        reinterpret_cast<CDialog*>(lParam)->m_scaling.Initialize(window);
    }
    CDialog* dialog = reinterpret_cast<CDialog*>(GetWindowLongPtrW(window, DWLP_USER));
    if (dialog == nullptr) return FALSE;
    INT_PTR result = FALSE;
    if (dialog->m_scaling.HandleMessage(window, message, wParam, lParam, result)) return result;
    if (!dialog->HandleMessage(message, wParam, lParam, result)) return FALSE;
    return result;
}

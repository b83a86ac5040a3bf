// Our own small dialog framework: a modal dialog class whose procedure
// reaches the object, and the placement and icons of the launcher's dialogs.
#pragma once

#include <windows.h>

// Centres `window` over its owner when the owner is visible and not
// minimised, otherwise over the work area of the monitor nearest to it; then
// moves it, where needed, into that monitor's work area. The window is not
// resized, reordered or activated.
void CenterWindow(HWND window);

// The program's icon resource `iconId` at the system's large and small icon
// sizes, set as the window's ICON_BIG and ICON_SMALL. (Shared icons: the
// system owns and frees them.)
void SetWindowIcons(HWND window, int iconId);

// The stock white brush, the background of both dialogs and their labels.
INT_PTR WhiteBackground();

// A modal dialog built from a template of the program's own module.
class CDialog {
public:
    explicit CDialog(int templateId) : m_templateId(templateId) {}
    virtual ~CDialog() = default;
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // The value passed to EndDialog, or -1 when the dialog cannot be created.
    INT_PTR DoModal(HWND parent);

protected:
    // One message; returns true when handled, with the dialog procedure's
    // result in `result`. Unhandled messages get the default dialog handling.
    virtual bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) = 0;

    HWND m_hWnd = nullptr;

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    int m_templateId;
};

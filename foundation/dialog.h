// Our own small dialog framework: a modal dialog class whose procedure
// reaches the object, and the placement of the launcher's dialogs.
#pragma once

#include <windows.h>

#include "foundation/dialog_scaling.h"

// Centres `window` over its owner when the owner is visible and not
// minimised, otherwise over the work area of the monitor nearest to it; then
// moves it, where needed, into that monitor's work area. The window is not
// resized, reordered or activated.
void CenterWindow(HWND window);

// The stock white brush, the background of both dialogs and their labels.
INT_PTR WhiteBackground();

// A modal dialog built from a template of the program's own module, with
// the program's icon `iconId`, both kept at its monitor's DPI.
class CDialog {
public:
    CDialog(int templateId, int iconId) : m_templateId(templateId), m_scaling(templateId, iconId) {}
    virtual ~CDialog() = default;
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // The value passed to EndDialog, or -1 when the dialog cannot be created.
    INT_PTR DoModal(HWND parent);

protected:
    // One message; returns true when handled, with the dialog procedure's
    // result in `result`. Unhandled messages get the default dialog handling.
    // On WM_INITDIALOG the dialog is laid out for its DPI and has its icons.
    virtual bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) = 0;

    HWND m_hWnd = nullptr;

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    int m_templateId;
    CDialogScaling m_scaling;
};

// What keeps one of the launcher's dialogs sharp at its monitor's display
// scale: its icons loaded for its DPI, and its layout made again from its
// template where the dialog manager laid it out for another DPI.
#pragma once

#include <windows.h>

#include "foundation/handles.h"

class CDialogScaling {
public:
    CDialogScaling(int templateId, int iconId) : m_templateId(templateId), m_iconId(iconId) {}

    // WM_INITDIALOG, before the dialog is placed. Where the dialog manager
    // laid the dialog out for the system's DPI and its monitor has another
    // (per-monitor v1), lays it out for the monitor's; then sets the icons.
    void Initialize(HWND window);

    // WM_DPICHANGED: the icons for the new DPI and, unless the dialog manager
    // does it itself, the layout for it, centred on the rectangle the system
    // suggests (then true, with `result`). WM_NCDESTROY: frees the icons and
    // the font.
    bool HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result);

private:
    void SetIcons(HWND window, UINT dpi);
    // The template's layout at `dpi`, centred on `suggested` (null: in place).
    void LayOut(HWND window, UINT dpi, const RECT* suggested);

    int m_templateId;
    int m_iconId;
    IconHandle m_bigIcon;
    IconHandle m_smallIcon;
    FontHandle m_font;  // the controls' font once the layout is ours
};

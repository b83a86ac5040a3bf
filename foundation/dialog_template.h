// The layout an extended dialog template (DIALOGEX) of the program's own
// module gives its dialog, read again to lay the dialog out at another DPI
// than the dialog manager did.
#pragma once

#include <windows.h>

#include <vector>

// A rectangle in dialog units: position and size, as the template holds them.
struct CDialogUnits {
    short x, y, cx, cy;
};

struct CDialogLayout {
    WORD pointSize = 0;                  // of the template's font
    short cx = 0, cy = 0;                // client area, in dialog units
    std::vector<CDialogUnits> controls;  // in template order, which is the z-order the dialog manager gives them
};

// False when the template is missing, is no extended template with a font,
// or ends early.
bool ReadDialogLayout(int templateId, CDialogLayout& layout);

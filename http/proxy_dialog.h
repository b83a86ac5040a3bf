// The dialog that asks the user for proxy credentials (template 131).
#pragma once

#include <string>

#include "foundation/dialog.h"

// DoModal returns 1 (OK) or 2 (Cancel, Escape, the close box); both fields
// are read as they stand on either button.
class CProxyDialog : public CDialog {
public:
    CProxyDialog();

    std::wstring m_userName;
    std::wstring m_password;

protected:
    bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;

private:
    std::wstring ReadField(int id) const;
};

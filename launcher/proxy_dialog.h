// The dialog that asks the user for proxy credentials (template 131).
#pragma once

#include <string>

#include <windows.h>

#include "foundation/dialog.h"
#include "foundation/proxy_credentials.h"
#include "foundation/secret_text.h"

// DoModal returns 1 (OK) or 2 (Cancel, Escape, the close box); both fields
// are read as they stand on either button. A user name given at construction
// (the one a proxy refused) stands in its field, the password is empty, and
// the password field has the focus.
class CProxyDialog : public CDialog {
public:
    explicit CProxyDialog(std::wstring userName = std::wstring());

    std::wstring m_userName;
    CSecretText m_password;

protected:
    bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;

private:
    std::wstring ReadField(int id) const;
    // The password read straight into secret text; the field itself is then
    // overwritten and emptied, so that the edit control keeps no copy.
    CSecretText TakePassword() const;
};

// The dialog as the downloads' prompt for proxy credentials
// (SetProxyCredentialsPrompt): true on OK, with what was entered.
bool AskForProxyCredentials(HWND parent, const std::wstring& refusedUserName, CProxyCredentials& entered);

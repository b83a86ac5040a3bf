#include "launcher/proxy_dialog.h"

#include <utility>
#include <vector>

#include "resources/resource_ids.h"

CProxyDialog::CProxyDialog(std::wstring userName)
    : CDialog(IDD_PROXY_AUTH, IDI_LAUNCHER), m_userName(std::move(userName)) {}

std::wstring CProxyDialog::ReadField(int id) const {
    HWND field = GetDlgItem(m_hWnd, id);
    std::vector<wchar_t> text(static_cast<size_t>(GetWindowTextLengthW(field)) + 1, L'\0');
    int length = GetWindowTextW(field, text.data(), static_cast<int>(text.size()));
    return std::wstring(text.data(), length > 0 ? static_cast<size_t>(length) : 0);
}

CSecretText CProxyDialog::TakePassword() const {
    HWND field = GetDlgItem(m_hWnd, IDC_PROXY_PASSWORD);
    int length = GetWindowTextLengthW(field);
    if (length <= 0) return CSecretText();
    CSecretText password;
    password.append(static_cast<size_t>(length), L'\0');
    int read = GetWindowTextW(field, password.data(), length + 1);
    CSecretText taken(password.view().substr(0, read > 0 ? static_cast<size_t>(read) : 0));
    // The same length first, so that the control writes over its own buffer.
    SetWindowTextW(field, std::wstring(static_cast<size_t>(length), L'*').c_str());
    SetWindowTextW(field, L"");
    return taken;
}

bool CProxyDialog::HandleMessage(UINT message, WPARAM wParam, LPARAM, INT_PTR& result) {
    switch (message) {
        case WM_INITDIALOG:
            CenterWindow(m_hWnd);  // laid out for its DPI, with its icons (CDialog)
            if (m_userName.empty()) {
                result = TRUE;  // the focus goes to the first tab stop, the user name
                return true;
            }
            SetDlgItemTextW(m_hWnd, IDC_PROXY_USER, m_userName.c_str());
            SetFocus(GetDlgItem(m_hWnd, IDC_PROXY_PASSWORD));
            result = FALSE;  // the focus was set here
            return true;
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSTATIC:
            result = WhiteBackground();
            return true;
        case WM_COMMAND:
            if (LOWORD(wParam) != IDOK && LOWORD(wParam) != IDCANCEL) return false;
            m_userName = ReadField(IDC_PROXY_USER);
            m_password = TakePassword();
            EndDialog(m_hWnd, LOWORD(wParam) == IDOK ? IDOK : IDCANCEL);
            result = TRUE;
            return true;
        default:
            return false;
    }
}

bool AskForProxyCredentials(HWND parent, const std::wstring& refusedUserName, CProxyCredentials& entered) {
    CProxyDialog dialog(refusedUserName);
    if (dialog.DoModal(parent) != IDOK) return false;
    entered.m_userName = dialog.m_userName;
    entered.m_password = dialog.m_password;
    return true;
}

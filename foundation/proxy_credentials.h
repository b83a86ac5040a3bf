// User name and password for an authenticating proxy. The password is
// secret text: every copy of it is wiped when it goes.
#pragma once

#include <string>

#include "foundation/secret_text.h"

struct CProxyCredentials {
    std::wstring m_userName;
    CSecretText m_password;
};

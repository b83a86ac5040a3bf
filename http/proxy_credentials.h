// User name and password for an authenticating proxy.
#pragma once

#include <string>

struct CProxyCredentials {
    std::wstring m_userName;
    std::wstring m_password;
};

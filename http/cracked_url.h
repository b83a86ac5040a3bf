// A URL split into the parts a request needs.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <string>

#include "foundation/result.h"

struct CCrackedUrl {
    std::wstring m_hostName;
    std::wstring m_urlPath;
    std::wstring m_extraInfo;  // the query with its leading "?" (and any fragment)
    std::wstring m_schemeName;
    std::wstring m_userName;
    std::wstring m_password;
    INTERNET_SCHEME m_scheme = INTERNET_SCHEME_UNKNOWN;
    INTERNET_PORT m_port = 0;  // explicit, or the scheme's default
};

// InternetCrackUrlW into `cracked` (reset first). 93 when WinINet refuses the text.
CResult CrackUrl(const std::wstring& url, CCrackedUrl& cracked);

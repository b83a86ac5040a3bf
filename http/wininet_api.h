// The WinINet and URL moniker functions the launcher uses, loaded on first
// use from the system folder (neither DLL is one of Windows' known DLLs).
#pragma once

#include <windows.h>
#include <wininet.h>
#include <urlmon.h>

#include "foundation/system_library.h"

namespace wininet {
inline constexpr CSystemSymbol kHttpOpenRequestW{L"wininet.dll", "HttpOpenRequestW"};
inline constexpr CSystemSymbol kHttpQueryInfoW{L"wininet.dll", "HttpQueryInfoW"};
inline constexpr CSystemSymbol kHttpSendRequestW{L"wininet.dll", "HttpSendRequestW"};
inline constexpr CSystemSymbol kInternetCloseHandle{L"wininet.dll", "InternetCloseHandle"};
inline constexpr CSystemSymbol kInternetCombineUrlW{L"wininet.dll", "InternetCombineUrlW"};
inline constexpr CSystemSymbol kInternetConnectW{L"wininet.dll", "InternetConnectW"};
inline constexpr CSystemSymbol kInternetCrackUrlW{L"wininet.dll", "InternetCrackUrlW"};
inline constexpr CSystemSymbol kInternetOpenW{L"wininet.dll", "InternetOpenW"};
inline constexpr CSystemSymbol kInternetQueryOptionW{L"wininet.dll", "InternetQueryOptionW"};
inline constexpr CSystemSymbol kInternetReadFile{L"wininet.dll", "InternetReadFile"};
inline constexpr CSystemSymbol kInternetSetOptionW{L"wininet.dll", "InternetSetOptionW"};

inline constexpr auto HttpOpenRequestW = &SystemFunction<decltype(::HttpOpenRequestW)>::Call<kHttpOpenRequestW>;
inline constexpr auto HttpQueryInfoW = &SystemFunction<decltype(::HttpQueryInfoW)>::Call<kHttpQueryInfoW>;
inline constexpr auto HttpSendRequestW = &SystemFunction<decltype(::HttpSendRequestW)>::Call<kHttpSendRequestW>;
inline constexpr auto InternetCloseHandle =
    &SystemFunction<decltype(::InternetCloseHandle)>::Call<kInternetCloseHandle>;
inline constexpr auto InternetCombineUrlW =
    &SystemFunction<decltype(::InternetCombineUrlW)>::Call<kInternetCombineUrlW>;
inline constexpr auto InternetConnectW = &SystemFunction<decltype(::InternetConnectW)>::Call<kInternetConnectW>;
inline constexpr auto InternetCrackUrlW = &SystemFunction<decltype(::InternetCrackUrlW)>::Call<kInternetCrackUrlW>;
inline constexpr auto InternetOpenW = &SystemFunction<decltype(::InternetOpenW)>::Call<kInternetOpenW>;
inline constexpr auto InternetQueryOptionW =
    &SystemFunction<decltype(::InternetQueryOptionW)>::Call<kInternetQueryOptionW>;
inline constexpr auto InternetReadFile = &SystemFunction<decltype(::InternetReadFile)>::Call<kInternetReadFile>;
inline constexpr auto InternetSetOptionW = &SystemFunction<decltype(::InternetSetOptionW)>::Call<kInternetSetOptionW>;
}  // namespace wininet

namespace urlmon {
inline constexpr CSystemSymbol kObtainUserAgentString{L"urlmon.dll", "ObtainUserAgentString"};

inline constexpr auto ObtainUserAgentString =
    &SystemFunction<decltype(::ObtainUserAgentString)>::Call<kObtainUserAgentString>;
}  // namespace urlmon

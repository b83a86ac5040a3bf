// The WinTrust and CryptoAPI functions the publisher check uses, loaded on
// first use from the system folder (neither DLL is one of Windows' known DLLs).
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>

#include "foundation/system_library.h"

namespace wintrust {
inline constexpr CSystemSymbol kWinVerifyTrust{L"wintrust.dll", "WinVerifyTrust"};
inline constexpr CSystemSymbol kWTHelperProvDataFromStateData{L"wintrust.dll", "WTHelperProvDataFromStateData"};
inline constexpr CSystemSymbol kWTHelperGetProvSignerFromChain{L"wintrust.dll", "WTHelperGetProvSignerFromChain"};

inline constexpr auto WinVerifyTrust = &SystemFunction<decltype(::WinVerifyTrust)>::Call<kWinVerifyTrust>;
inline constexpr auto WTHelperProvDataFromStateData =
    &SystemFunction<decltype(::WTHelperProvDataFromStateData)>::Call<kWTHelperProvDataFromStateData>;
inline constexpr auto WTHelperGetProvSignerFromChain =
    &SystemFunction<decltype(::WTHelperGetProvSignerFromChain)>::Call<kWTHelperGetProvSignerFromChain>;
}  // namespace wintrust

namespace crypt32 {
inline constexpr CSystemSymbol kCertCloseStore{L"crypt32.dll", "CertCloseStore"};
inline constexpr CSystemSymbol kCertFindCertificateInStore{L"crypt32.dll", "CertFindCertificateInStore"};
inline constexpr CSystemSymbol kCertFreeCertificateContext{L"crypt32.dll", "CertFreeCertificateContext"};
inline constexpr CSystemSymbol kCertGetNameStringW{L"crypt32.dll", "CertGetNameStringW"};
inline constexpr CSystemSymbol kCertVerifyCertificateChainPolicy{L"crypt32.dll", "CertVerifyCertificateChainPolicy"};
inline constexpr CSystemSymbol kCryptMsgClose{L"crypt32.dll", "CryptMsgClose"};
inline constexpr CSystemSymbol kCryptMsgGetParam{L"crypt32.dll", "CryptMsgGetParam"};
inline constexpr CSystemSymbol kCryptQueryObject{L"crypt32.dll", "CryptQueryObject"};

inline constexpr auto CertCloseStore = &SystemFunction<decltype(::CertCloseStore)>::Call<kCertCloseStore>;
inline constexpr auto CertFindCertificateInStore =
    &SystemFunction<decltype(::CertFindCertificateInStore)>::Call<kCertFindCertificateInStore>;
inline constexpr auto CertFreeCertificateContext =
    &SystemFunction<decltype(::CertFreeCertificateContext)>::Call<kCertFreeCertificateContext>;
inline constexpr auto CertGetNameStringW = &SystemFunction<decltype(::CertGetNameStringW)>::Call<kCertGetNameStringW>;
inline constexpr auto CertVerifyCertificateChainPolicy =
    &SystemFunction<decltype(::CertVerifyCertificateChainPolicy)>::Call<kCertVerifyCertificateChainPolicy>;
inline constexpr auto CryptMsgClose = &SystemFunction<decltype(::CryptMsgClose)>::Call<kCryptMsgClose>;
inline constexpr auto CryptMsgGetParam = &SystemFunction<decltype(::CryptMsgGetParam)>::Call<kCryptMsgGetParam>;
inline constexpr auto CryptQueryObject = &SystemFunction<decltype(::CryptQueryObject)>::Call<kCryptQueryObject>;
}  // namespace crypt32

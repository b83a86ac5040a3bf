// RAII owners for CryptoAPI objects.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "foundation/handles.h"

struct CertContextTraits {
    using Type = PCCERT_CONTEXT;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type c) { return c != nullptr; }
    static void Close(Type c) { CertFreeCertificateContext(c); }
};
using CertContext = UniqueResource<CertContextTraits>;

struct CertStoreTraits {
    using Type = HCERTSTORE;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type s) { return s != nullptr; }
    static void Close(Type s) { CertCloseStore(s, 0); }
};
using CertStore = UniqueResource<CertStoreTraits>;

struct CryptMsgTraits {
    using Type = HCRYPTMSG;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type m) { return m != nullptr; }
    static void Close(Type m) { CryptMsgClose(m); }
};
using CryptMsg = UniqueResource<CryptMsgTraits>;

// RAII owners for CryptoAPI objects.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "foundation/handles.h"
#include "signature/crypt_api.h"

inline BOOL WINAPI CloseCertStore(HCERTSTORE store) { return crypt32::CertCloseStore(store, 0); }

using CertContext = UniqueResource<NullHandleTraits<PCCERT_CONTEXT, crypt32::CertFreeCertificateContext>>;
using CertStore = UniqueResource<NullHandleTraits<HCERTSTORE, CloseCertStore>>;
using CryptMsg = UniqueResource<NullHandleTraits<HCRYPTMSG, crypt32::CryptMsgClose>>;

// RAII owners for CryptoAPI objects.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "foundation/handles.h"

inline BOOL WINAPI CloseCertStore(HCERTSTORE store) { return CertCloseStore(store, 0); }

using CertContext = UniqueResource<NullHandleTraits<PCCERT_CONTEXT, CertFreeCertificateContext>>;
using CertStore = UniqueResource<NullHandleTraits<HCERTSTORE, CloseCertStore>>;
using CryptMsg = UniqueResource<NullHandleTraits<HCRYPTMSG, CryptMsgClose>>;

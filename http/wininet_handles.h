// RAII owner for WinINet handles.
#pragma once

#include <windows.h>
#include <wininet.h>

#include "foundation/handles.h"

struct InternetHandleTraits {
    using Type = HINTERNET;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { InternetCloseHandle(h); }
};
using InternetHandle = UniqueResource<InternetHandleTraits>;

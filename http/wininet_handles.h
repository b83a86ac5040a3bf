// RAII owner for WinINet handles.
#pragma once

#include <windows.h>
#include <wininet.h>

#include "foundation/handles.h"

using InternetHandle = UniqueResource<NullHandleTraits<HINTERNET, InternetCloseHandle>>;

// RAII owner for WinINet handles.
#pragma once

#include <windows.h>
#include <wininet.h>

#include "foundation/handles.h"
#include "http/wininet_api.h"

using InternetHandle = UniqueResource<NullHandleTraits<HINTERNET, wininet::InternetCloseHandle>>;

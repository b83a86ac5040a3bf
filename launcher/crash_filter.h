// The process-wide unhandled-exception filter: a fault on either thread
// opens the service's crash page, then the system's own handling follows.
#pragma once

#include <windows.h>

#include <string>

// Installs CrashFilter. A C++ exception that nothing catches reaches it too:
// the runtime's default terminate handler, replaced here, raises it as an
// unhandled system exception instead of ending the process quietly.
void InstallCrashFilter();

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* exception);

// What CrashFilter does, with the browser passed in: the process's first
// crash opens its page; every later call returns EXCEPTION_CONTINUE_SEARCH at once.
LONG ReportFirstCrash(EXCEPTION_POINTERS* exception, void (*openPage)(const std::wstring& url));

// "0x%p:0x%p:%08x:%ws": region base, faulting address, exception code and
// module file name ("(null)" when there is none).
std::wstring FormatFaultLine(const void* base, const void* address, DWORD code, const wchar_t* moduleName);

// The crash page: the service's "/error/" with source, code 0, the encoded
// fault line, error 0x0000023e and version, os and key 0.
std::wstring BuildCrashPageUrl(const std::wstring& faultLine);

// System functions that older systems may lack, looked up at run time in a
// module every process has loaded (kernel32, ntdll).
#pragma once

#include <windows.h>

// Null when the module has no such function.
template <typename Function>
Function* LoadedModuleFunction(const wchar_t* module, const char* name) {
    HMODULE loaded = GetModuleHandleW(module);
    FARPROC found = loaded != nullptr ? GetProcAddress(loaded, name) : nullptr;
    return reinterpret_cast<Function*>(reinterpret_cast<void*>(found));
}

// Null when this system's kernel32 has no such function.
template <typename Function>
Function* KernelFunction(const char* name) {
    return LoadedModuleFunction<Function>(L"kernel32.dll", name);
}

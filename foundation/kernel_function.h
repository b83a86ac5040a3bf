// A function that older systems may lack, looked up at run time in a system
// DLL the process has loaded already (kernel32 and user32, which it imports;
// ntdll, which every process has; comctl32 once the system loaded it for a
// dialog's common controls).
#pragma once

#include <windows.h>

// Null when `dll` is not loaded or has no such function: nothing is loaded here.
template <typename Function>
Function* LoadedFunction(const wchar_t* dll, const char* name) {
    HMODULE module = GetModuleHandleW(dll);
    FARPROC found = module != nullptr ? GetProcAddress(module, name) : nullptr;
    return reinterpret_cast<Function*>(reinterpret_cast<void*>(found));
}

// Null when this system's kernel32 has no such function.
template <typename Function>
Function* KernelFunction(const char* name) {
    return LoadedFunction<Function>(L"kernel32.dll", name);
}

// Null when this system's user32 has no such function.
template <typename Function>
Function* UserFunction(const char* name) {
    return LoadedFunction<Function>(L"user32.dll", name);
}

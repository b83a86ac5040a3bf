// A kernel32 function that older systems may lack, looked up at run time.
#pragma once

#include <windows.h>

// Null when this system's kernel32 has no such function.
template <typename Function>
Function* KernelFunction(const char* name) {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC found = kernel != nullptr ? GetProcAddress(kernel, name) : nullptr;
    return reinterpret_cast<Function*>(reinterpret_cast<void*>(found));
}

// Where the launcher's DLLs come from: the system folder, never the folder
// the launcher was started from (a Downloads folder, typically) nor the
// current folder. Only Windows' known DLLs (kernel32, advapi32, user32,
// gdi32, shell32, rpcrt4, and the C runtime's msvcrt) are ordinary imports;
// a function of any other system DLL is reached through SystemFunction,
// which loads its DLL on first use by the DLL's full path in the system
// folder.
#pragma once

#include <windows.h>

#include <atomic>

// Restricts the process's DLL search to the system folder where the system
// can (SetDefaultDllDirectories), else takes the current folder out of it
// (SetDllDirectoryW). Both are looked up at run time: older systems lack them.
void RestrictDllSearchToSystemFolder();

// The system DLLs the launcher uses that are not known DLLs.
inline constexpr const wchar_t* kLoadedOnFirstUse[] = {L"crypt32.dll", L"wintrust.dll", L"wininet.dll",
                                                      L"urlmon.dll"};

struct CSystemSymbol {
    const wchar_t* dll;  // one of kLoadedOnFirstUse
    const char* name;    // exported function
};

// The function's address. The first call loads every DLL of
// kLoadedOnFirstUse from the system folder: system DLLs that load one of
// them in turn (the TLS code loads crypt32) then find it loaded, where some
// loaders would otherwise search the launcher's folder for it. A DLL or
// function the system folder lacks ends the process with the exception a
// failed delay load raises (0xC06D007E or 0xC06D007F), which reaches the
// crash handler.
FARPROC ResolveSystemSymbol(const CSystemSymbol& symbol);

template <typename Function>
struct SystemFunction;

// SystemFunction<decltype(::F)>::Call<kF> has F's own type, so that it also
// serves where a function is a template argument (the handle owners).
template <typename Result, typename... Arguments>
struct SystemFunction<Result WINAPI(Arguments...)> {
    using Pointer = Result(WINAPI*)(Arguments...);

    template <const CSystemSymbol& Symbol>
    static Result WINAPI Call(Arguments... arguments) {
        static std::atomic<Pointer> resolved(nullptr);
        Pointer function = resolved.load(std::memory_order_acquire);
        if (function == nullptr) {
            function = reinterpret_cast<Pointer>(reinterpret_cast<void*>(ResolveSystemSymbol(Symbol)));
            resolved.store(function, std::memory_order_release);
        }
        return function(arguments...);
    }
};

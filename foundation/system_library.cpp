#include "foundation/system_library.h"

#include <atomic>
#include <string>

#include "foundation/kernel_function.h"

namespace {

constexpr DWORD kModuleNotFound = 0xC06D007E;     // what a failed delay load raises
constexpr DWORD kProcedureNotFound = 0xC06D007F;

// Loaded by its full path, and its own dependencies from the system folder
// only. A system without that flag (ERROR_INVALID_PARAMETER) looks them up
// beside the DLL, in the system folder, first.
HMODULE LoadFromSystemFolder(const wchar_t* dll) {
    wchar_t folder[MAX_PATH] = {};
    UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    std::wstring path = std::wstring(folder, length) + L"\\" + dll;
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != nullptr || GetLastError() != ERROR_INVALID_PARAMETER) return module;
    return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

[[noreturn]] void RaiseNotFound(DWORD code) {
    RaiseException(code, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    ExitProcess(code);  // not reached: the exception cannot be continued
}

}  // namespace

void RestrictDllSearchToSystemFolder() {
    auto* setDefault = KernelFunction<decltype(SetDefaultDllDirectories)>("SetDefaultDllDirectories");
    if (setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
    auto* setDirectory = KernelFunction<decltype(SetDllDirectoryW)>("SetDllDirectoryW");
    if (setDirectory != nullptr) setDirectory(L"");
}

FARPROC ResolveSystemSymbol(const CSystemSymbol& symbol) {
    static std::atomic<bool> loadedAll(false);
    if (!loadedAll.exchange(true)) {
        for (const wchar_t* dll : kLoadedOnFirstUse) LoadFromSystemFolder(dll);
    }
    HMODULE module = LoadFromSystemFolder(symbol.dll);
    if (module == nullptr) RaiseNotFound(kModuleNotFound);
    FARPROC function = GetProcAddress(module, symbol.name);
    if (function == nullptr) RaiseNotFound(kProcedureNotFound);
    return function;
}

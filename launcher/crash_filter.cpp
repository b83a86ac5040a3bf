#include "launcher/crash_filter.h"

#include <atomic>
#include <cstdlib>
#include <cwchar>
#include <exception>

#include "foundation/browser.h"
#include "foundation/run_options.h"
#include "foundation/text.h"
#include "service_endpoint.h"

namespace {

constexpr DWORD kModulePathChars = 260;
constexpr DWORD kCrashReportError = 574;            // every crash report carries error=0x0000023e
constexpr DWORD kUncaughtCxxException = 0xE06D7363;  // how a C++ exception looks to the system

// Filled on each use; the filter runs once, on the faulting thread.
wchar_t g_crashModulePath[kModulePathChars];

const wchar_t* FileNameOf(const wchar_t* path) {
    const wchar_t* lastBackslash = std::wcsrchr(path, L'\\');
    return lastBackslash != nullptr ? lastBackslash + 1 : path;
}

}  // namespace

// The runtime's default terminate handler, replaced: instead of printing a
// demangled message to a console this program does not have (and linking a
// demangler for it), an exception that nothing catches becomes an unhandled
// system exception, which reaches CrashFilter like any fault.
namespace __gnu_cxx {
void __verbose_terminate_handler() {
    RaiseException(kUncaughtCxxException, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    std::abort();
}
}  // namespace __gnu_cxx

std::wstring FormatFaultLine(const void* base, const void* address, DWORD code, const wchar_t* moduleName) {
    return Format(L"0x%p:0x%p:%08x:%ws", base, address, code, moduleName);
}

std::wstring BuildCrashPageUrl(const std::wstring& faultLine) {
    return std::wstring(LOOMCRAFT_SERVICE_URL) +
           Format(L"/error/?source=%ws&code=0&message=%ws&error=0x%08x&version=0&os=0&key=0", g_programName,
                  UrlEncodeOrThrow(faultLine).c_str(), kCrashReportError);
}

LONG ReportFirstCrash(EXCEPTION_POINTERS* exception, void (*openPage)(const std::wstring& url)) {
    // One crash, one page: some systems call the filter twice for one fault.
    static std::atomic<bool> reported(false);
    if (reported.exchange(true)) return EXCEPTION_CONTINUE_SEARCH;
    const EXCEPTION_RECORD* record = exception->ExceptionRecord;
    MEMORY_BASIC_INFORMATION region;
    const void* base = nullptr;
    const wchar_t* moduleName = nullptr;
    if (VirtualQuery(record->ExceptionAddress, &region, sizeof region) != 0) {
        // The region's allocation base is the module's base for an address
        // inside a module; base 0 (a call through a null pointer) names the
        // launcher itself. Memory of no module leaves the name empty.
        base = region.AllocationBase;
        g_crashModulePath[0] = L'\0';
        GetModuleFileNameW(static_cast<HMODULE>(region.AllocationBase), g_crashModulePath, kModulePathChars);
        moduleName = FileNameOf(g_crashModulePath);
    }
    std::wstring url =
        BuildCrashPageUrl(FormatFaultLine(base, record->ExceptionAddress, record->ExceptionCode, moduleName));
    openPage(url);
    return EXCEPTION_CONTINUE_SEARCH;
}

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* exception) { return ReportFirstCrash(exception, OpenInBrowser); }

void InstallCrashFilter() {
    SetUnhandledExceptionFilter(CrashFilter);
}

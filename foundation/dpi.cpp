#include "foundation/dpi.h"

#include "foundation/handles.h"
#include "foundation/kernel_function.h"

namespace {

using GetDpiForWindowFunction = UINT WINAPI(HWND);
using GetSystemMetricsForDpiFunction = int WINAPI(int, UINT);
using GetWindowDpiAwarenessContextFunction = DPI_AWARENESS_CONTEXT WINAPI(HWND);
using AreDpiAwarenessContextsEqualFunction = BOOL WINAPI(DPI_AWARENESS_CONTEXT, DPI_AWARENESS_CONTEXT);

}  // namespace

UINT WindowDpi(HWND window) {
    auto* dpiForWindow = UserFunction<GetDpiForWindowFunction>("GetDpiForWindow");
    return dpiForWindow != nullptr ? dpiForWindow(window) : 0;
}

UINT SystemDpi() {
    WindowDc screen(nullptr);
    return screen.get() != nullptr ? static_cast<UINT>(GetDeviceCaps(screen.get(), LOGPIXELSY)) : 0;
}

bool DialogManagerFollowsDpi(HWND window) {
    // Only a system with the function that tunes that behaviour has it
    // (Windows 10 1703 and later); Wine 8 has neither.
    if (UserFunction<void>("SetDialogDpiChangeBehavior") == nullptr) return false;
    auto* contextOf = UserFunction<GetWindowDpiAwarenessContextFunction>("GetWindowDpiAwarenessContext");
    auto* equal = UserFunction<AreDpiAwarenessContextsEqualFunction>("AreDpiAwarenessContextsEqual");
    return contextOf != nullptr && equal != nullptr &&
           equal(contextOf(window), DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
}

int SystemMetricForDpi(int index, UINT dpi) {
    auto* forDpi = UserFunction<GetSystemMetricsForDpiFunction>("GetSystemMetricsForDpi");
    return dpi != 0 && forDpi != nullptr ? forDpi(index, dpi) : GetSystemMetrics(index);
}

#include "foundation/dpi.h"

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
    HDC screen = GetDC(nullptr);
    int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen != nullptr) ReleaseDC(nullptr, screen);
    return static_cast<UINT>(dpi);
}

bool DialogManagerFollowsDpi(HWND window) {
    // The function that tunes that behaviour came with it: Wine, for one,
    // knows per-monitor v2 windows without laying their dialogs out again.
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

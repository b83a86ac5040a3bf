#include "foundation/dialog_scaling.h"

#include <utility>

#include "foundation/dialog_template.h"
#include "foundation/dpi.h"
#include "foundation/kernel_function.h"

namespace {

using LoadIconWithScaleDownFunction = HRESULT WINAPI(HINSTANCE, PCWSTR, int, int, HICON*);

constexpr int kPointsPerInch = 72;
// A dialog unit is a quarter of the font's average character width and an
// eighth of its height.
constexpr int kUnitsPerBaseWidth = 4;
constexpr int kUnitsPerBaseHeight = 8;
// What the dialog manager averages a font's character width over.
constexpr wchar_t kAlphabet[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr int kAlphabetLength = sizeof kAlphabet / sizeof kAlphabet[0] - 1;

// The icon at that size. Where comctl32 6 is loaded (Vista and later, for
// the dialog's common controls) it scales a larger image down when the icon
// lacks the size; elsewhere LoadImageW picks the nearest image.
IconHandle LoadIconOfSize(int iconId, int cx, int cy) {
    HINSTANCE module = GetModuleHandleW(nullptr);
    auto* scaleDown = LoadedFunction<LoadIconWithScaleDownFunction>(L"comctl32.dll", "LoadIconWithScaleDown");
    HICON icon = nullptr;
    if (scaleDown != nullptr && SUCCEEDED(scaleDown(module, MAKEINTRESOURCEW(iconId), cx, cy, &icon))) {
        return IconHandle(icon);
    }
    return IconHandle(static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(iconId), IMAGE_ICON, cx, cy, 0)));
}

// The dialog's own font (the face the dialog manager chose) at the
// template's point size for `dpi`.
FontHandle DialogFontForDpi(HWND window, WORD pointSize, UINT dpi) {
    HFONT current = reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0));
    LOGFONTW font = {};
    if (current == nullptr || GetObjectW(current, sizeof font, &font) != sizeof font) return FontHandle();
    font.lfHeight = -MulDiv(pointSize, static_cast<int>(dpi), kPointsPerInch);
    font.lfWidth = 0;
    return FontHandle(CreateFontIndirectW(&font));
}

// Pixels per four horizontal and per eight vertical dialog units, measured
// as the dialog manager measures its font; zero when it cannot be measured.
SIZE BaseUnits(HWND window, HFONT font) {
    SIZE base = {};
    WindowDc dc(window);
    if (dc.get() == nullptr) return base;
    HGDIOBJ previous = SelectObject(dc.get(), font);
    TEXTMETRICW metrics;
    SIZE extent;
    if (GetTextMetricsW(dc.get(), &metrics) && GetTextExtentPoint32W(dc.get(), kAlphabet, kAlphabetLength, &extent)) {
        base.cx = (extent.cx / (kAlphabetLength / 2) + 1) / 2;
        base.cy = metrics.tmHeight;
    }
    SelectObject(dc.get(), previous);
    return base;
}

RECT ToPixels(const CDialogUnits& units, SIZE base) {
    RECT rect;
    rect.left = MulDiv(units.x, base.cx, kUnitsPerBaseWidth);
    rect.top = MulDiv(units.y, base.cy, kUnitsPerBaseHeight);
    rect.right = rect.left + MulDiv(units.cx, base.cx, kUnitsPerBaseWidth);
    rect.bottom = rect.top + MulDiv(units.cy, base.cy, kUnitsPerBaseHeight);
    return rect;
}

// The window sized around the template's client area. Its frame keeps its
// size: where this layout is ours (per-monitor v1), the system does not
// scale a window's frame and caption. Centred on `suggested`, so that it
// stays on the monitor it moved to, or in place.
void Resize(HWND window, const CDialogLayout& layout, SIZE base, const RECT* suggested) {
    RECT outer, client;
    GetWindowRect(window, &outer);
    GetClientRect(window, &client);
    RECT wanted = ToPixels({0, 0, layout.cx, layout.cy}, base);
    LONG width = wanted.right + (outer.right - outer.left) - client.right;
    LONG height = wanted.bottom + (outer.bottom - outer.top) - client.bottom;
    UINT flags = SWP_NOZORDER | SWP_NOACTIVATE;
    if (suggested == nullptr) flags |= SWP_NOMOVE;
    const RECT& around = suggested != nullptr ? *suggested : outer;
    SetWindowPos(window, nullptr, (around.left + around.right - width) / 2, (around.top + around.bottom - height) / 2,
                 width, height, flags);
}

}  // namespace

void CDialogScaling::Initialize(HWND window) {
    UINT dpi = WindowDpi(window);
    if (dpi != 0 && dpi != SystemDpi() && !DialogManagerFollowsDpi(window)) LayOut(window, dpi, nullptr);
    SetIcons(window, dpi);
}

bool CDialogScaling::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) {
    if (message == WM_NCDESTROY) {
        m_bigIcon.reset();
        m_smallIcon.reset();
        m_font.reset();
        return false;
    }
    if (message != WM_DPICHANGED) return false;
    UINT dpi = LOWORD(wParam);
    SetIcons(window, dpi);
    // Per-monitor v2: the default handling lays the dialog out and applies the suggested rectangle.
    if (DialogManagerFollowsDpi(window)) return false;
    LayOut(window, dpi, reinterpret_cast<const RECT*>(lParam));
    result = TRUE;
    return true;
}

void CDialogScaling::SetIcons(HWND window, UINT dpi) {
    IconHandle big = LoadIconOfSize(m_iconId, SystemMetricForDpi(SM_CXICON, dpi), SystemMetricForDpi(SM_CYICON, dpi));
    IconHandle little =
        LoadIconOfSize(m_iconId, SystemMetricForDpi(SM_CXSMICON, dpi), SystemMetricForDpi(SM_CYSMICON, dpi));
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big.get()));
    SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(little.get()));
    // The previous icons are freed once the window holds the new ones.
    m_bigIcon = std::move(big);
    m_smallIcon = std::move(little);
}

void CDialogScaling::LayOut(HWND window, UINT dpi, const RECT* suggested) {
    CDialogLayout layout;
    if (!ReadDialogLayout(m_templateId, layout)) return;
    FontHandle font = DialogFontForDpi(window, layout.pointSize, dpi);
    SIZE base = font ? BaseUnits(window, font.get()) : SIZE{};
    if (base.cx == 0 || base.cy == 0) return;
    Resize(window, layout, base, suggested);
    HWND control = GetWindow(window, GW_CHILD);
    for (const CDialogUnits& units : layout.controls) {
        if (control == nullptr) break;
        RECT rect = ToPixels(units, base);
        SetWindowPos(control, nullptr, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), TRUE);
        control = GetWindow(control, GW_HWNDNEXT);
    }
    m_font = std::move(font);  // the previous one, if ours, is no control's any more
}

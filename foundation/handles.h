// RAII owners for system handles and buffers. Closing preserves the thread's
// last error, so a failure read after an owner went out of scope is still the
// failing call's own.
#pragma once

#include <windows.h>

template <typename Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() = default;
    explicit UniqueResource(Type value) : m_value(value) {}
    ~UniqueResource() { reset(); }

    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : m_value(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    Type get() const { return m_value; }
    explicit operator bool() const { return Traits::IsValid(m_value); }

    Type release() {
        Type value = m_value;
        m_value = Traits::Invalid();
        return value;
    }

    void reset(Type value = Traits::Invalid()) {
        Type old = m_value;
        m_value = value;
        if (Traits::IsValid(old)) {
            DWORD lastError = GetLastError();
            Traits::Close(old);
            SetLastError(lastError);
        }
    }

    // For functions that hand a new resource back through a pointer.
    Type* receive() {
        reset();
        return &m_value;
    }

private:
    Type m_value = Traits::Invalid();
};

// Kernel object handles; both null and INVALID_HANDLE_VALUE mean "none".
struct KernelHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Type h) { CloseHandle(h); }
};
using UniqueHandle = UniqueResource<KernelHandleTraits>;

struct FindHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Type h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void Close(Type h) { FindClose(h); }
};
using FindHandle = UniqueResource<FindHandleTraits>;

// Handles whose "none" is null, closed by one function taking the handle.
template <typename T, auto CloseFunction>
struct NullHandleTraits {
    using Type = T;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { CloseFunction(h); }
};

// Buffers the system allocated with LocalAlloc (FormatMessageW, CommandLineToArgvW...).
using LocalMemory = UniqueResource<NullHandleTraits<void*, LocalFree>>;
using LibraryHandle = UniqueResource<NullHandleTraits<HMODULE, FreeLibrary>>;
// Icons the program loaded itself (not shared ones, which the system frees).
using IconHandle = UniqueResource<NullHandleTraits<HICON, DestroyIcon>>;
using FontHandle = UniqueResource<NullHandleTraits<HFONT, DeleteObject>>;

// A window's device context (GetDC), released on every path.
class WindowDc {
public:
    explicit WindowDc(HWND window) : m_window(window), m_dc(GetDC(window)) {}
    ~WindowDc() {
        if (m_dc != nullptr) ReleaseDC(m_window, m_dc);
    }
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;

    HDC get() const { return m_dc; }

private:
    HWND m_window;
    HDC m_dc;
};

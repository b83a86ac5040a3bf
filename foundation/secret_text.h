// Text that must not outlive its use in memory: proxy passwords, and the
// command line that passes one on. Every buffer it ever held is wiped before
// it goes back to the heap, so that neither a crash dump nor a page written
// to the swap file holds the password after the launcher is done with it.
#pragma once

#include <windows.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// An allocator that zeroes every buffer it hands back (SecureZeroMemory,
// which the compiler may not drop). `Base` does the allocating; tests put a
// recording allocator there.
template <typename T, typename Base = std::allocator<T>>
struct WipingAllocator : Base {
    using value_type = T;
    template <typename U>
    struct rebind {
        using other = WipingAllocator<U, typename std::allocator_traits<Base>::template rebind_alloc<U>>;
    };

    WipingAllocator() = default;
    template <typename U, typename OtherBase>
    WipingAllocator(const WipingAllocator<U, OtherBase>&) {}

    void deallocate(T* pointer, std::size_t count) {
        SecureZeroMemory(pointer, count * sizeof(T));
        Base::deallocate(pointer, count);
    }
};

template <typename T, typename BaseA, typename U, typename BaseB>
bool operator==(const WipingAllocator<T, BaseA>&, const WipingAllocator<U, BaseB>&) {
    return true;
}

// Wide text kept in one heap buffer (never inside the object, as short
// strings are), with its terminating zero. Every buffer it lets go, on
// growth, reassignment or destruction, goes through the allocator, so no
// path leaves a copy behind.
template <typename Allocator = WipingAllocator<wchar_t>>
class CBasicSecretText {
public:
    CBasicSecretText() = default;
    CBasicSecretText(const wchar_t* text) { append(text); }  // NOLINT: literals and argv entries convert
    explicit CBasicSecretText(std::wstring_view text) { append(text); }

    CBasicSecretText(const CBasicSecretText& other) = default;
    CBasicSecretText(CBasicSecretText&& other) noexcept = default;
    CBasicSecretText& operator=(const CBasicSecretText& other) {
        CBasicSecretText copy(other);
        m_units.swap(copy.m_units);  // the old buffer leaves with `copy`, wiped
        return *this;
    }
    CBasicSecretText& operator=(CBasicSecretText&& other) noexcept {
        CBasicSecretText taken(std::move(other));
        m_units.swap(taken.m_units);
        return *this;
    }

    // Growing moves the text to a larger buffer; the vector hands the old
    // one back through the allocator, which wipes it.
    CBasicSecretText& append(std::wstring_view text) {
        if (text.empty()) return *this;
        Terminate(text.size());
        m_units.insert(m_units.end() - 1, text.begin(), text.end());
        return *this;
    }
    CBasicSecretText& append(std::size_t count, wchar_t unit) {
        if (count == 0) return *this;
        Terminate(count);
        m_units.insert(m_units.end() - 1, count, unit);
        return *this;
    }
    CBasicSecretText& operator+=(std::wstring_view text) { return append(text); }
    CBasicSecretText& operator+=(wchar_t unit) { return append(std::wstring_view(&unit, 1)); }

    const wchar_t* c_str() const { return m_units.empty() ? L"" : m_units.data(); }
    // Writable and zero-terminated, for calls that want a mutable buffer
    // (CreateProcessW); null while empty.
    wchar_t* data() { return m_units.empty() ? nullptr : m_units.data(); }
    std::size_t size() const { return m_units.empty() ? 0 : m_units.size() - 1; }
    bool empty() const { return size() == 0; }
    std::wstring_view view() const { return std::wstring_view(c_str(), size()); }

    friend bool operator==(const CBasicSecretText& text, std::wstring_view other) { return text.view() == other; }

private:
    using Units = std::vector<wchar_t, Allocator>;

    // The terminating zero of empty text, in a buffer sized for what comes.
    void Terminate(std::size_t coming) {
        if (!m_units.empty()) return;
        m_units.reserve(coming + 1);
        m_units.push_back(L'\0');
    }

    Units m_units;  // the text and its terminating zero; nothing while empty
};

using CSecretText = CBasicSecretText<>;

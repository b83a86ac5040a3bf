// The unpacked installer's buffer. It is sized for the worst case before
// anything is inflated into it (six times the download, then doubled), so its
// growth leaves new bytes uninitialised: the unused part costs address space,
// not memory or time, until zlib writes it.
#pragma once

#include <memory>
#include <new>
#include <utility>
#include <vector>

template <typename T>
struct UninitializedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <typename U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}

    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

using UnpackedBytes = std::vector<unsigned char, UninitializedAllocator<unsigned char>>;

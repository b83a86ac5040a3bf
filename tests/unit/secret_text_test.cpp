#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include "foundation/secret_text.h"

namespace {

// Stands in for the heap under the wiping allocator: records, for every
// buffer handed back, whether it arrived all zero and still held by no one.
std::vector<bool> g_returnedZeroed;

template <typename T>
struct RecordingAllocator : std::allocator<T> {
    using value_type = T;
    template <typename U>
    struct rebind {
        using other = RecordingAllocator<U>;
    };
    RecordingAllocator() = default;
    template <typename U>
    RecordingAllocator(const RecordingAllocator<U>&) {}

    void deallocate(T* pointer, std::size_t count) {
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(pointer);
        bool zeroed = true;
        for (std::size_t i = 0; i < count * sizeof(T); ++i) zeroed = zeroed && bytes[i] == 0;
        g_returnedZeroed.push_back(zeroed);
        std::allocator<T>::deallocate(pointer, count);
    }
};

using RecordedSecret = CBasicSecretText<WipingAllocator<wchar_t, RecordingAllocator<wchar_t>>>;

class SecretText : public testing::Test {
protected:
    void SetUp() override { g_returnedZeroed.clear(); }
    // Buffers were handed back since the last look, and all of them wiped.
    void ExpectReturnedWiped() {
        EXPECT_GT(g_returnedZeroed.size(), m_seen);
        for (bool zeroed : g_returnedZeroed) EXPECT_TRUE(zeroed);
        m_seen = g_returnedZeroed.size();
    }

private:
    std::size_t m_seen = 0;
};

TEST_F(SecretText, EveryBufferGoesBackWipedOnDestructionReassignmentAndGrowth) {
    {
        RecordedSecret password(L"correct horse");
        EXPECT_EQ(password, L"correct horse");
        EXPECT_EQ(std::wstring(password.c_str()), L"correct horse");
    }
    ExpectReturnedWiped();

    RecordedSecret password(L"first");
    RecordedSecret other(L"second");
    password = other;  // a copy: the old buffer goes
    ExpectReturnedWiped();
    password = RecordedSecret(L"third");  // a move: the old buffer goes
    ExpectReturnedWiped();
    EXPECT_EQ(password, L"third");

    password += L" and more text than its buffer holds";
    ExpectReturnedWiped();
    EXPECT_EQ(password, L"third and more text than its buffer holds");
}

TEST_F(SecretText, EmptyTextHasAnEmptyTerminatedView) {
    CSecretText empty;
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(std::wstring(empty.c_str()), L"");
    EXPECT_EQ(empty.data(), nullptr);
    empty.append(2, L'\\');
    EXPECT_EQ(empty, L"\\\\");
}

}  // namespace

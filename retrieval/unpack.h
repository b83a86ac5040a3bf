// Inflating the downloaded installer: one zlib or gzip stream, in memory.
#pragma once

#include <cstddef>
#include <limits>
#include <new>

#include "foundation/result.h"
#include "retrieval/unpacked_bytes.h"

enum class InflateOutcome { Done, OutputTooSmall, Corrupt };

// One complete decompression of `input` into `output`; `produced` is set when
// it is Done. A malformed, truncated or headerless stream is Corrupt.
InflateOutcome InflateWhole(const unsigned char* input, size_t inputLength, unsigned char* output,
                            size_t outputLength, size_t& produced);

// The largest output zlib can count (32 bits).
constexpr size_t kMaxUnpackedBytes = std::numeric_limits<unsigned int>::max();

// Unpacks the whole `input` into `output` (sized exactly on success). The
// output starts at 6 x input + 1 bytes and doubles, restarting from the
// beginning, whenever it proves too small. When that first buffer cannot be
// had (its allocation fails, or it exceeds what the buffer can hold) the
// unpack starts once more from input + 1 bytes, the least an incompressible
// stream needs, and doubles from there. Any malformed, truncated or
// headerless stream fails with {E_FAIL, 86}. `attempts`, when given,
// receives the number of decompression passes made (only the unit tests
// ask: it is how they see the growth rule at work). Any other buffer that
// cannot be had throws, as the buffer does.
template <typename Buffer>
CResult UnpackInto(const unsigned char* input, size_t inputLength, Buffer& output, int* attempts = nullptr) {
    constexpr int kCorruptStream = 86;
    if (attempts != nullptr) *attempts = 0;
    if (inputLength >= kMaxUnpackedBytes || inputLength >= output.max_size()) throw std::bad_alloc();
    size_t smallest = inputLength + 1;
    bool firstFits = inputLength <= (kMaxUnpackedBytes - 1) / 6 && inputLength * 6 + 1 <= output.max_size();
    size_t capacity = firstFits ? inputLength * 6 + 1 : smallest;
    for (bool first = true;; first = false) {
        output.clear();  // nothing of a failed pass is kept: no copy on growth
        try {
            output.resize(capacity);
        } catch (...) {
            if (!first || capacity == smallest) throw;
            output = Buffer();
            capacity = smallest;
            output.resize(capacity);
        }
        if (attempts != nullptr) ++*attempts;
        size_t produced = 0;
        InflateOutcome outcome = InflateWhole(input, inputLength, output.data(), output.size(), produced);
        if (outcome == InflateOutcome::Done) {
            output.resize(produced);
            return CResult();
        }
        if (outcome == InflateOutcome::Corrupt) return CResult(E_FAIL, kCorruptStream);
        // zlib counts in 32 bits: an installer that large cannot be held anyway.
        if (output.size() > kMaxUnpackedBytes / 2 || output.size() * 2 > output.max_size()) throw std::bad_alloc();
        capacity = output.size() * 2;
    }
}

inline CResult UnpackInstaller(const unsigned char* input, size_t inputLength, UnpackedBytes& output,
                               int* attempts = nullptr) {
    return UnpackInto(input, inputLength, output, attempts);
}

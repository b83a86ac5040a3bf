// Inflating the downloaded installer: one zlib or gzip stream, in memory.
#pragma once

#include <cstddef>

#include "foundation/result.h"
#include "retrieval/unpacked_bytes.h"

// Unpacks the whole `input` into `output` (sized exactly on success). The
// output starts at 6 x input + 1 bytes and doubles, restarting from the
// beginning, whenever it proves too small. Any malformed, truncated or
// headerless stream fails with {E_FAIL, 86}. `attempts`, when given, receives
// the number of decompression passes made (only the unit tests ask: it is
// how they see the growth rule at work).
CResult UnpackInstaller(const unsigned char* input, size_t inputLength, UnpackedBytes& output,
                        int* attempts = nullptr);

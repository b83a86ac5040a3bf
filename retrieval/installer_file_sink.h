// The installer file as the inflater's output.
#pragma once

#include <windows.h>

#include <cstddef>

#include "foundation/result.h"
#include "retrieval/byte_sink.h"

// Writes inflated pieces to the open installer file (514 and 515, 358 in
// place of a zero code).
class CInstallerFileSink : public CByteSink {
public:
    explicit CInstallerFileSink(HANDLE file) : m_file(file) {}
    CResult Write(const unsigned char* bytes, size_t count) override;
    // Empties the file, for a body that starts over from its first byte.
    CResult Truncate();

private:
    HANDLE m_file;
};

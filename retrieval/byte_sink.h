// Where bytes go, one piece after another: the inflater writes the installer
// through it, and a kept partial hands its bytes back through it.
#pragma once

#include <cstddef>

#include "foundation/result.h"

class CByteSink {
public:
    virtual CResult Write(const unsigned char* bytes, size_t count) = 0;

protected:
    ~CByteSink() = default;
};

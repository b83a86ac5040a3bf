#include "retrieval/installer_file_sink.h"

#include "foundation/files.h"

namespace {
constexpr int kWriteFailed = 358;
}  // namespace

CResult CInstallerFileSink::Write(const unsigned char* bytes, size_t count) {
    CResult written = WriteToHandle(m_file, bytes, count);
    if (written.Failed()) return Propagate(written, kWriteFailed);
    return CResult();
}

CResult CInstallerFileSink::Truncate() {
    LARGE_INTEGER start = {};
    if (!SetFilePointerEx(m_file, start, nullptr, FILE_BEGIN) || !SetEndOfFile(m_file)) {
        return CResult::FromLastError(kWriteFailed);
    }
    return CResult();
}

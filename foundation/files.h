// Whole-file reads and writes with fixed site codes and path-naming messages.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/result.h"

using ByteBuffer = std::vector<unsigned char>;

// Others may read, write and delete a file or folder while it is open.
inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Creates or replaces `path` with exactly `count` bytes.
// 547 "Error creating file: <path>", 550 write failed, 551 short write.
CResult WriteWholeFile(const std::wstring& path, const void* bytes, size_t count);

// One write of all bytes to a handle the caller owns. 514 failed, 515 short.
CResult WriteToHandle(HANDLE file, const void* bytes, size_t count);

// The whole file into `buffer` (limit 0 = none). 586 "Error opening file:
// <path>", 592 size unknown, 597 over the limit, 606 no memory, 613 read
// failed, 614 short read. After a short read the buffer keeps the file's size,
// zero-filled past what arrived.
CResult ReadWholeFile(const std::wstring& path, ByteBuffer& buffer, uint64_t limit);

// Creates `path`, which must not exist yet, with `security` (null: what its
// folder passes on) and copies the whole of the open file `source` into it.
// Code 0 on failure, and the new file is then removed.
CResult CopyToNewFile(HANDLE source, const std::wstring& path, SECURITY_ATTRIBUTES* security);

// Sets the last-write time to now. 1005 not opened, 1009 time not set.
CResult TouchFile(const std::wstring& path);
// The same on a file open with FILE_WRITE_ATTRIBUTES (1009).
CResult TouchOpenFile(HANDLE file);

// Removes the file open as `file` (with DELETE access) once its last handle
// closes: whatever another name now points to is never touched. Code 0.
CResult DeleteOpenFile(HANDLE file);

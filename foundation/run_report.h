// The run report of silent mode: the installer's own report relayed, or a
// line of the launcher's, written in UTF-8 to a file or to standard output.
#pragma once

#include <string>

#include "foundation/result.h"

// Does nothing for an empty target; "." is standard output, anything else a
// file that is created or replaced. `notes` (lines of the launcher's own,
// each ending with CR LF) come before the text. Its own outcome is dropped.
// Throws a CException when the text cannot be converted to UTF-8.
void WriteRunReport(const std::wstring& target, const std::wstring& reportText, const CResult& outcome,
                    const std::wstring& notes = std::wstring());

// The bytes as the whole new content of `path` (561 stands in for a zero code).
CResult WriteTextFile(const std::wstring& path, const std::string& bytes);

// To standard output; when that fails, attached to the parent's console
// (1222 stands in for a zero code of the attach, 1224 second write failed).
CResult WriteToConsole(const char* text);

// AttachConsole(ATTACH_PARENT_PROCESS), found by name at run time.
// 1207 not present, 1209 attach failed.
CResult AttachParentConsole();

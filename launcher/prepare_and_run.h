// The run between the command line and the report: start-up checks, the
// key, then the retrieval workflow (silently, or behind the progress window).
#pragma once

#include <string>

#include "foundation/result.h"

CResult PrepareAndRun(std::wstring version, std::wstring keySwitchValue, std::wstring& keyText,
                      std::wstring& reportText);

// Telling the user and the service about a failed run.
#pragma once

#include <string>

#include "foundation/result.h"

// Interactive mode's failure report: the message box (no owner, caption
// "Error", one OK button), then, once it is closed, the service's error page
// in the browser. Throws CException when a value cannot be encoded.
void ReportFailure(const CResult& outcome, const std::wstring& version, const std::wstring& keyText);

// The local date, "%04d-%02d-%02d".
std::wstring FormatToday();

// "?source=loomcraft&code=..&message=..&error=0x%08x&version=..&os=..&key=..&date=..",
// every text percent-encoded.
std::wstring BuildErrorPageQuery(const CResult& outcome, const std::wstring& version, const std::wstring& os,
                                 const std::wstring& keyText, const std::wstring& date);

// "An error occured. \r\n\r\n<error text> [0x%08x]; <message>; <site code>"
std::wstring BuildFailureMessage(const CResult& outcome);

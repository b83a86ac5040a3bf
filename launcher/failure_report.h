// Telling the user and the service about a failed run.
#pragma once

#include <string>

#include "foundation/result.h"

// One line for a failed outcome: "Failed", then " - " before each of the
// message (when not empty), the error text (when the HRESULT is not E_FAIL
// and has one) and the site code (when not 0).
std::wstring DescribeResult(CResult outcome);

// Interactive mode's failure report: message box, then the error page.
void ReportFailure(const CResult& outcome, const std::wstring& version, const std::wstring& keyText);

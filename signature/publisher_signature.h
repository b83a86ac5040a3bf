// The launcher's security boundary: only a file whose Authenticode signature
// the system trusts, made by the expected publisher under the expected
// issuing authority, may be started.
#pragma once

#include <windows.h>

#include <string>

#include "foundation/result.h"

// Both from signature/expected_publisher.txt, their one definition.
extern const wchar_t kExpectedPublisher[];
extern const wchar_t kExpectedIssuer[];

// Success only when all holds; otherwise one of
//   190 "Could not verify signature"               (the trust provider's status,
//                                                   or that of the signer's chain)
//   199 "Could not get certificate"                (the failing call's error)
//   206 "Could not verify certificate information" (E_FAIL)
//   210 "Invalid certificate information"          (E_FAIL)
CResult VerifyPublisherSignature(const std::wstring& path);

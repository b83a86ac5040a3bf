// The two transfers the workflow makes: a download with retries and exact
// resume, and a one-shot size probe.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "foundation/result.h"
#include "http/transfer.h"

constexpr int kAttemptsPerTransfer = 10;
constexpr uint64_t kProgressThatRefillsAttempts = 0x40000;  // more than 256 KiB delivered

// Up to 10 attempts; an attempt that delivered more than 256 KiB earns 10
// more. After a failure the next attempt asks for exactly the bytes not yet
// delivered ("Range: bytes=<next>-<last>"); when none are left, the failure
// is the result. E_ABORT, credentials refused by a proxy and a failure of
// the transfer's own OnData (a corrupt stream, a full disk) are never
// repeated; bytes delivered without a known total cannot be continued (248).
// `record` receives the last attempt's response record.
CResult RequestWithRetries(CWinInet& transfer, const std::wstring& url, const CProxyCredentials* credentials,
                           int64_t start, int64_t end, DWORD pauseMilliseconds, CResponseInfo* record);

// One probe (no retries): the resource's size, and the status and
// Last-Modified of the response, whatever the outcome. A probe that learns
// no size fails ({E_FAIL, 0} when it read a whole body).
CResult QueryRemoteSize(const std::wstring& url, const CProxyCredentials* credentials, int64_t& size,
                        DWORD* status, std::wstring* lastModified);

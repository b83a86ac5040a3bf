// Names derived with SHA-1: the machine identifier sent to the service and
// the cache name of a download.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/result.h"

// SHA-1 of the six node bytes of a sequential UUID, as 40 upper-case hex
// digits. A UUID that is only locally unique (no network adapter) is a
// failure (13): the caller then sends no identifier.
CResult ComputeMachineId(std::wstring& identifier);

// The identity text of a download: "<size>:[<last-modified>]:<url>", or
// "<size>:<url>" without a Last-Modified value.
std::wstring CacheIdentityText(const std::wstring& downloadUrl, int64_t size, const std::wstring& lastModified);

// SHA-1 of the identity text's UTF-16LE code units, 40 upper-case hex digits.
CResult ComputeCacheName(const std::wstring& downloadUrl, int64_t size, const std::wstring& lastModified,
                         std::wstring& name);

// The same of the download URL alone: the name of a download's kept
// partial, which must be found before the server has said anything.
CResult ComputeUrlName(const std::wstring& downloadUrl, std::wstring& name);

// What the request engine learns about one response.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

struct CResponseInfo {
    DWORD m_status = 0;            // numeric HTTP status of the last response
    std::wstring m_lastModified;   // Last-Modified, empty when absent
    std::wstring m_validator;      // a strong ETag, else Last-Modified: what If-Range may carry (empty: none)
    uint64_t m_received = 0;       // body bytes delivered to OnData in this request
    int64_t m_contentLength = 0;   // Content-Length, 0 when absent
    int64_t m_totalSize = 0;       // size of the whole resource (Content-Range total for a range request)
    bool m_refusedByReceiver = false;  // OnData failed: another attempt cannot help
    bool m_credentialsRefused = false;  // ended by a proxy that refused the credentials it was given
    bool m_startedOver = false;    // a range asked for with If-Range came back whole: the resource changed
};

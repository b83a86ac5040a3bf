// The outcome record every fallible operation returns, and the two exception
// types that carry failures across the few places where exceptions are used.
#pragma once

#include <windows.h>

#include <string>

// HRESULT, site code and message of one operation. Success is {0, 0, ""};
// a failure has m_hr below 0.
struct CResult {
    HRESULT m_hr = S_OK;
    int m_code = 0;
    std::wstring m_message;

    CResult() = default;
    CResult(HRESULT hr, int code, std::wstring message = std::wstring());

    // The value both top levels start from: a run that never sets a result fails.
    static CResult NotYetRun();
    // Failure after a failed system call: the HRESULT of the thread's last
    // error, which must still be the one the failing call left behind.
    static CResult FromLastError(int code);

    bool Failed() const { return m_hr < 0; }
    bool Succeeded() const { return m_hr >= 0; }
};

// Passes an inner failure on: HRESULT and message unchanged, the inner site
// code kept unless it is 0, in which case the caller's own code takes its place.
CResult Propagate(const CResult& inner, int ownCode);

// The string layer's exception: an HRESULT only.
class CAtlException {
public:
    explicit CAtlException(HRESULT hr) : m_hr(hr) {}
    HRESULT m_hr;
};

// A whole CResult in flight, thrown by the throwing forms of the conversions.
class CException : public CAtlException {
public:
    explicit CException(const CResult& result);
    CResult ToResult() const;

    int m_code;
    std::wstring m_message;
};

// 0 gives E_FAIL; a positive error c gives (c & 0xFFFF) | 0x80070000; a
// negative value is already an HRESULT and is returned unchanged.
HRESULT HResultFromError(LONG error);
HRESULT HResultFromLastError();

// Throws a CException carrying the result when it failed.
void ThrowIfFailed(const CResult& result);

#include "foundation/result.h"

#include <utility>

CResult::CResult(HRESULT hr, int code, std::wstring message)
    : m_hr(hr), m_code(code), m_message(std::move(message)) {}

CResult CResult::NotYetRun() { return CResult(E_FAIL, 0); }

CResult CResult::FromLastError(int code) { return CResult(HResultFromLastError(), code); }

CResult Propagate(const CResult& inner, int ownCode) {
    return CResult(inner.m_hr, inner.m_code != 0 ? inner.m_code : ownCode, inner.m_message);
}

CException::CException(const CResult& result)
    : CAtlException(result.m_hr), m_code(result.m_code), m_message(result.m_message) {}

CResult CException::ToResult() const { return CResult(m_hr, m_code, m_message); }

HRESULT HResultFromError(LONG error) {
    if (error == 0) return E_FAIL;
    if (error < 0) return static_cast<HRESULT>(error);
    return static_cast<HRESULT>((static_cast<DWORD>(error) & 0xFFFF) | 0x80070000);
}

HRESULT HResultFromLastError() { return HResultFromError(static_cast<LONG>(GetLastError())); }

void ThrowIfFailed(const CResult& result) {
    if (result.Failed()) throw CException(result);
}

// The guarded region of the two top levels (entry point and worker thread):
// exceptions that escape the work become the run's CResult.
#pragma once

#include <exception>
#include <new>
#include <stdexcept>

#include "foundation/result.h"
#include "foundation/text.h"

struct GuardCodes {
    int atlException;  // a CAtlException: {its HRESULT, code, "Exception"}
    int stdException;  // a std::exception: {E_FAIL, code, "Exception: " + what()}
};

constexpr GuardCodes kEntryPointGuard{849, 852};
constexpr GuardCodes kWorkerGuard{489, 492};

// Runs `work` (returning a CResult). A CException keeps its own three
// fields. The standard strings and buffers are the string layer: their
// std::bad_alloc arrives as E_OUTOFMEMORY and their std::length_error as
// E_INVALIDARG, as a CAtlException would. Anything else is not caught and
// reaches the crash filter.
template <typename Work>
CResult RunGuarded(const GuardCodes& codes, Work&& work) {
    try {
        return work();
    } catch (const CException& e) {
        return e.ToResult();
    } catch (const CAtlException& e) {
        return CResult(e.m_hr, codes.atlException, L"Exception");
    } catch (const std::bad_alloc&) {
        return CResult(E_OUTOFMEMORY, codes.atlException, L"Exception");
    } catch (const std::length_error&) {
        return CResult(E_INVALIDARG, codes.atlException, L"Exception");
    } catch (const std::exception& e) {
        return CResult(E_FAIL, codes.stdException, L"Exception: " + WidenAnsi(e.what()));
    }
}

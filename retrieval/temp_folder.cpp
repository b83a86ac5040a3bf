#include "retrieval/temp_folder.h"

#include <vector>

#include "foundation/kernel_function.h"

namespace {
constexpr DWORD kTempPathChars = 1040;
}  // namespace

GetTempPathFunction* PreferredTempPathFunction() { return KernelFunction<GetTempPathFunction>("GetTempPath2W"); }

CResult GetTemporaryFolder(std::wstring& folder, GetTempPathFunction* preferred) {
    GetTempPathFunction* query = preferred != nullptr ? preferred : &GetTempPathW;
    std::vector<wchar_t> temp(kTempPathChars, L'\0');
    DWORD length = query(kTempPathChars, temp.data());
    if (length == 0) return CResult::FromLastError(283);
    if (length >= kTempPathChars) return CResult(HResultFromError(ERROR_INSUFFICIENT_BUFFER), 283);
    folder.assign(temp.data(), length);
    return CResult();
}

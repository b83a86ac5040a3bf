// verify-publisher FILE [--repeat N]
//
// Runs the launcher's own publisher signature check on FILE, so a vendor can
// see before publishing an installer whether the launcher will start it.
// Prints one line "hr=0x%08x code=%d message=<text>" (UTF-8) and then the
// outcome as the run report would describe it; exits 0 when the file passes,
// otherwise with the failure's HRESULT.
//
// --repeat N runs the check N more times in this process and reports, on one
// more line, open handles and committed private memory after the first check
// and after the last, and the time of the first check and the mean of the
// others. Handles are counted by the value the next new handle gets (handle
// slots are reused lowest first, so it only grows when handles are kept);
// memory by walking the address space.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "foundation/text.h"
#include "foundation/error_text.h"
#include "signature/publisher_signature.h"

namespace {

struct Usage {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
};

DWORD NextHandleSlot() {
    HANDLE probe = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    DWORD slot = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(probe) / 4);
    CloseHandle(probe);
    return slot;
}

SIZE_T CommittedPrivateBytes() {
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const char* address = nullptr;
         VirtualQuery(address, &region, sizeof region) == sizeof region;
         address = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
        if (static_cast<const char*>(region.BaseAddress) + region.RegionSize < address) break;
    }
    return total;
}

Usage MeasureUsage() {
    Usage usage;
    usage.handles = NextHandleSlot();
    usage.privateBytes = CommittedPrivateBytes();
    return usage;
}

double Milliseconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void PrintUtf8(const std::wstring& text) {
    std::string utf8;
    ToUtf8(text, utf8);
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2 && !(argc == 4 && std::wcscmp(argv[2], L"--repeat") == 0)) {
        std::fprintf(stderr, "usage: verify-publisher FILE [--repeat N]\n");
        return 2;
    }
    std::wstring path = argv[1];
    int repeat = argc == 4 ? std::wcstol(argv[3], nullptr, 10) : 0;

    LARGE_INTEGER start, afterFirst, end;
    QueryPerformanceCounter(&start);
    CResult result = VerifyPublisherSignature(path);
    QueryPerformanceCounter(&afterFirst);
    Usage first = MeasureUsage();
    for (int i = 0; i < repeat; ++i) VerifyPublisherSignature(path);
    QueryPerformanceCounter(&end);
    Usage last = MeasureUsage();

    std::printf("hr=0x%08x code=%d message=", static_cast<unsigned>(result.m_hr), result.m_code);
    PrintUtf8(result.m_message + L"\n");
    PrintUtf8((result.Succeeded() ? std::wstring(L"Passed") : DescribeResult(result)) + L"\n");
    if (repeat > 0) {
        std::printf("handles=%lu->%lu private=%lu->%lu first_ms=%.3f mean_ms=%.3f\n", first.handles, last.handles,
                    static_cast<unsigned long>(first.privateBytes), static_cast<unsigned long>(last.privateBytes),
                    Milliseconds(start, afterFirst), Milliseconds(afterFirst, end) / repeat);
    }
    return result.Succeeded() ? 0 : result.m_hr;
}

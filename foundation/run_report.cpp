#include "foundation/run_report.h"

#include <windows.h>

#include <cstring>

#include "foundation/error_text.h"
#include "foundation/files.h"
#include "foundation/kernel_function.h"
#include "foundation/text.h"

namespace {

const wchar_t kConsoleTarget[] = L".";
const wchar_t kNoReport[] = L"Error reading report\r\n";

bool WriteStandardOutput(const char* text) {
    DWORD written = 0;
    return WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written,
                     nullptr) != FALSE;
}

std::wstring ChooseReportText(const std::wstring& reportText, const CResult& outcome) {
    if (!reportText.empty()) return reportText;
    if (outcome.Failed()) return DescribeResult(outcome) + L"\r\n";
    return kNoReport;
}

}  // namespace

CResult WriteTextFile(const std::wstring& path, const std::string& bytes) {
    CResult written = WriteWholeFile(path, bytes.data(), bytes.size());
    if (written.Failed()) return Propagate(written, 561);
    return CResult();
}

CResult AttachParentConsole() {
    auto* attach = KernelFunction<decltype(AttachConsole)>("AttachConsole");
    if (attach == nullptr) return CResult::FromLastError(1207);
    if (!attach(ATTACH_PARENT_PROCESS)) return CResult::FromLastError(1209);
    return CResult();
}

CResult WriteToConsole(const char* text) {
    if (WriteStandardOutput(text)) return CResult();
    CResult attached = AttachParentConsole();
    if (attached.Failed()) return Propagate(attached, 1222);
    if (!WriteStandardOutput(text)) return CResult::FromLastError(1224);
    return CResult();
}

void WriteRunReport(const std::wstring& target, const std::wstring& reportText, const CResult& outcome,
                    const std::wstring& notes) {
    if (target.empty()) return;
    std::string utf8 = ToUtf8OrThrow(notes + ChooseReportText(reportText, outcome));
    if (target == kConsoleTarget) {
        WriteToConsole(utf8.c_str());
    } else {
        WriteTextFile(target, utf8);
    }
}

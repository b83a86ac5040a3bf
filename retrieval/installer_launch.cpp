#include "retrieval/installer_launch.h"

#include <cstdint>
#include <exception>

#include "foundation/files.h"
#include "foundation/handles.h"
#include "foundation/module_path.h"
#include "foundation/run_options.h"
#include "foundation/text.h"
#include "retrieval/work_folder.h"

namespace {

constexpr DWORD kInputIdleMilliseconds = 300;
// What CreateProcessW takes, the terminating zero included; some systems cut
// a longer command line silently instead of refusing it.
constexpr size_t kMaxCommandLineChars = 32767;
constexpr DWORD kSettleMilliseconds = 200;
// 4 MiB reports are usual; beyond 64 MiB a report is no longer text for a person.
constexpr uint64_t kMaxReportBytes = 64u << 20;
const wchar_t kReportFile[] = L"\\report.txt";

CResult ExitCodeOutcome(HANDLE process) {
    DWORD exitCode = 1;
    if (!GetExitCodeProcess(process, &exitCode)) return CResult::FromLastError(464);
    if (exitCode == 0) return CResult();
    // A positive code becomes a Win32 HRESULT; one with the top bit set already is one.
    return CResult(HResultFromError(static_cast<LONG>(exitCode)), 466, L"The installer process returned an error");
}

// The installer's report, relayed when it is of a sane size. A larger one is
// treated as unreadable without being read, and no report, however odd, can
// change the run's outcome: one that cannot be converted is left out.
void ReadInstallerReport(const std::wstring& reportPath, std::wstring* reportText) {
    if (reportText == nullptr) return;
    ByteBuffer bytes;
    ReadWholeFile(reportPath, bytes, kMaxReportBytes);  // whatever arrived is used
    if (bytes.empty()) return;
    try {
        *reportText = WidenAnsi(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    } catch (const CAtlException&) {
        reportText->clear();
    } catch (const std::exception&) {
        reportText->clear();
    }
}

// `value` between quotation marks, appended to `quoted` (a std::wstring, or
// secret text for a command line that carries a password).
template <typename Text>
void AppendQuoted(Text& quoted, std::wstring_view value) {
    quoted += L'"';
    size_t backslashes = 0;
    for (wchar_t c : value) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    quoted += L'"';
}

}  // namespace

std::wstring QuoteArgument(const std::wstring& value) {
    std::wstring quoted;
    AppendQuoted(quoted, value);
    return quoted;
}

CSecretText BuildInstallerCommandLine(const std::wstring& key, const std::wstring& reportPath,
                                      const std::wstring& launcherPath, const CProxyCredentials* credentials,
                                      const std::vector<std::wstring>& passThroughArgs) {
    CSecretText line(L"Quillo.exe ");
    AppendQuoted(line, key);
    if (!reportPath.empty()) {
        line += L" /silent ";
        AppendQuoted(line, reportPath);
    }
    line += L" /fullpath ";
    AppendQuoted(line, launcherPath);
    if (credentials != nullptr) {
        line += L" /proxyauth ";
        AppendQuoted(line, credentials->m_userName);
        line += L' ';
        AppendQuoted(line, credentials->m_password.view());
    }
    for (const std::wstring& argument : passThroughArgs) {
        line += L' ';
        AppendQuoted(line, argument);
    }
    return line;
}

CResult LockInstallerFile(const std::wstring& installerPath, UniqueHandle& lock) {
    lock.reset(CreateFileW(installerPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!lock) return CResult::FromLastError(352);
    return CResult();
}

CResult WaitForInstaller(HANDLE process) {
    if (WaitForSingleObject(process, INFINITE) == WAIT_FAILED) return CResult::FromLastError(432);
    return CResult();
}

CResult LaunchInstaller(const std::wstring& installerPath, CWorkFolder& workFolder, const std::wstring& key,
                        HWND window, std::wstring* reportText, UniqueHandle installerLock) {
    std::wstring reportPath = g_silent ? workFolder.path() + kReportFile : std::wstring();
    CSecretText commandLine =
        BuildInstallerCommandLine(key, reportPath, GetModulePath(), g_proxyCredentials.get(), g_passThroughArgs);

    // From here on Cancel no longer ends the process, even if the start fails.
    g_noCancel = true;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (commandLine.size() + 1 > kMaxCommandLineChars) {
        return CResult(HResultFromError(ERROR_FILENAME_EXCED_RANGE), 432);
    }
    BOOL created = CreateProcessW(installerPath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                                  nullptr, nullptr, &startup, &started);
    installerLock.reset();  // the file that was checked is the file that runs; the installer may now change it
    if (!created) return CResult::FromLastError(432);
    UniqueHandle process(started.hProcess);
    UniqueHandle thread(started.hThread);

    if (!g_silent) {
        WaitForInputIdle(process.get(), kInputIdleMilliseconds);
        ShowWindow(window, SW_HIDE);
    }
    CResult waited = WaitForInstaller(process.get());
    if (waited.Failed()) {
        workFolder.Keep();  // never removed under an installer that may still run
        return waited;
    }
    Sleep(kSettleMilliseconds);
    if (!reportPath.empty()) ReadInstallerReport(reportPath, reportText);
    workFolder.Remove();

    if (!g_silent) return CResult();  // interactively the installer speaks for itself
    return ExitCodeOutcome(process.get());
}

// Starting the verified installer, waiting for it, and cleaning up after it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "foundation/handles.h"
#include "foundation/proxy_credentials.h"
#include "foundation/result.h"
#include "foundation/secret_text.h"
#include "retrieval/work_folder.h"

// A value between quotation marks such that CommandLineToArgvW gives it back
// exactly: a quotation mark inside gets a backslash, and backslashes that
// precede a quotation mark (the closing one included) are doubled. Values
// without either come out unchanged between the marks.
std::wstring QuoteArgument(const std::wstring& value);

// "Quillo.exe "<key>"[ /silent "<report>"] /fullpath "<launcher>"
// [ /proxyauth "<user>" "<password>"][ "<argument>"...]", as secret text:
// it may carry the proxy password.
CSecretText BuildInstallerCommandLine(const std::wstring& key, const std::wstring& reportPath,
                                       const std::wstring& launcherPath, const CProxyCredentials* credentials,
                                       const std::vector<std::wstring>& passThroughArgs);

// Opens the installer file so that nobody else can write, rename or delete
// it until `lock` is closed; checking and starting it by path then concern
// the same file. 352 when it cannot be opened.
CResult LockInstallerFile(const std::wstring& installerPath, UniqueHandle& lock);

// Waits for the installer process to end. 432 with the wait's own error
// when the wait itself fails.
CResult WaitForInstaller(HANDLE process);

// Sets g_noCancel, starts the installer (432, also for a command line longer
// than CreateProcessW takes) and then releases `installerLock`, hides the
// progress window, waits for the installer, reads its report in silent mode,
// removes the work folder, and in silent mode maps a non-zero exit code to a
// failure (464, 466). A failed wait keeps the work folder: the installer may
// still be running in it.
CResult LaunchInstaller(const std::wstring& installerPath, CWorkFolder& workFolder, const std::wstring& key,
                        HWND window, std::wstring* reportText, UniqueHandle installerLock);

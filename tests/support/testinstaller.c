/* A stand-in installer for the end-to-end tests. Test-only.
 *
 * Configured through the environment it inherits from the launcher:
 *   TESTINSTALLER_RECORD     file that receives, in UTF-8, the full command
 *                            line on the first line and then each argument
 *                            from CommandLineToArgvW on a line of its own,
 *                            each line as hex of its UTF-8 bytes
 *   TESTINSTALLER_REPORT     file whose bytes are copied as the report to the
 *                            path after "/silent"; unset: no report is written
 *   TESTINSTALLER_EXIT       exit code (decimal, or hex with 0x)
 *   TESTINSTALLER_SLEEP_MS   time to wait before exiting
 *   TESTINSTALLER_WAIT_FOR   file whose appearance it waits for (at most a
 *                            minute) before exiting
 *   TESTINSTALLER_COPY_SELF  file that receives a copy of its own file (the
 *                            bytes the launcher checked and started)
 *   TESTINSTALLER_ACCESS     file that receives the owner and access list of
 *                            its own folder, as a security descriptor string */
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void WriteHexLine(FILE* out, const wchar_t* text) {
    char utf8[65536];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL, NULL);
    int i;
    for (i = 0; i + 1 < n; ++i) fprintf(out, "%02x", (unsigned char)utf8[i]);
    fprintf(out, "\n");
}

static void WriteReport(const wchar_t* path, const wchar_t* source) {
    CopyFileW(source, path, FALSE);
}

static void WriteAccess(const wchar_t* target) {
    wchar_t folder[MAX_PATH];
    PSECURITY_DESCRIPTOR descriptor = NULL;
    wchar_t* text = NULL;
    SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    FILE* out;
    if (!GetModuleFileNameW(NULL, folder, MAX_PATH)) return;
    *wcsrchr(folder, L'\\') = L'\0';
    out = _wfopen(target, L"wb");
    if (!out) return;
    if (GetNamedSecurityInfoW(folder, SE_FILE_OBJECT, wanted, NULL, NULL, NULL, NULL, &descriptor) == ERROR_SUCCESS &&
        ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, wanted, &text, NULL)) {
        fprintf(out, "%ls", text);
    } else {
        fprintf(out, "error %lu", GetLastError());
    }
    LocalFree(text);
    LocalFree(descriptor);
    fclose(out);
}

int wmain(void) {
    int count = 0, i;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    const wchar_t* record = _wgetenv(L"TESTINSTALLER_RECORD");
    const wchar_t* report = _wgetenv(L"TESTINSTALLER_REPORT");
    const char* exitText = getenv("TESTINSTALLER_EXIT");
    const char* sleepText = getenv("TESTINSTALLER_SLEEP_MS");
    const wchar_t* waitFor = _wgetenv(L"TESTINSTALLER_WAIT_FOR");
    const wchar_t* copySelf = _wgetenv(L"TESTINSTALLER_COPY_SELF");
    const wchar_t* access = _wgetenv(L"TESTINSTALLER_ACCESS");
    if (record && *record) {
        FILE* out = _wfopen(record, L"wb");
        if (out) {
            WriteHexLine(out, GetCommandLineW());
            for (i = 0; i < count; ++i) WriteHexLine(out, args[i]);
            fclose(out);
        }
    }
    if (report) {
        for (i = 1; i + 1 < count; ++i) {
            if (wcscmp(args[i], L"/silent") == 0) WriteReport(args[i + 1], report);
        }
    }
    if (copySelf && *copySelf) {
        wchar_t self[MAX_PATH];
        if (GetModuleFileNameW(NULL, self, MAX_PATH)) CopyFileW(self, copySelf, FALSE);
    }
    if (access && *access) WriteAccess(access);
    if (sleepText) Sleep((DWORD)strtoul(sleepText, NULL, 10));
    for (i = 0; waitFor && i < 3000 && GetFileAttributesW(waitFor) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(20);
    return exitText ? (int)strtoul(exitText, NULL, 0) : 0;
}

/* runwait PROGRAM [ARGUMENTS...]
 *
 * Starts the rest of its own command line as a process that shares its
 * standard handles, waits for it and prints the full 32-bit exit code to
 * standard error as "runwait: exit code 0x%08lx" (a Unix shell sees only the
 * low byte). RUNWAIT_TIMEOUT_MS in the environment bounds the wait; on time-out
 * the process is terminated and "runwait: timed out" is printed.
 * RUNWAIT_DETACHED (any value) starts it as a console window starts a GUI program on
 * Windows: with no console of its own and no standard output (Wine would
 * otherwise hand it runwait's console and output). */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static const wchar_t* SkipFirstToken(const wchar_t* line) {
    if (*line == L'"') {
        ++line;
        while (*line && *line != L'"') ++line;
        if (*line) ++line;
    } else {
        while (*line && *line != L' ' && *line != L'\t') ++line;
    }
    while (*line == L' ' || *line == L'\t') ++line;
    return line;
}

int wmain(void) {
    wchar_t* rest = _wcsdup(SkipFirstToken(GetCommandLineW()));
    DWORD timeout = INFINITE;
    char* timeoutText = getenv("RUNWAIT_TIMEOUT_MS");
    STARTUPINFOW startup;
    PROCESS_INFORMATION process;
    DWORD exitCode = 0;
    BOOL detach = getenv("RUNWAIT_DETACHED") != NULL;

    if (timeoutText && *timeoutText) timeout = (DWORD)strtoul(timeoutText, NULL, 10);
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = detach ? NULL : GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    if (!rest || !*rest) {
        fprintf(stderr, "usage: runwait PROGRAM [ARGUMENTS...]\n");
        return 2;
    }
    if (!CreateProcessW(NULL, rest, NULL, NULL, TRUE, detach ? DETACHED_PROCESS : 0, NULL, NULL, &startup,
                        &process)) {
        fprintf(stderr, "runwait: cannot start (error %lu)\n", GetLastError());
        return 3;
    }
    if (WaitForSingleObject(process.hProcess, timeout) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 0xDEAD);
        WaitForSingleObject(process.hProcess, 5000);
        fprintf(stderr, "runwait: timed out\n");
        return 4;
    }
    GetExitCodeProcess(process.hProcess, &exitCode);
    fflush(stdout);
    fprintf(stderr, "runwait: exit code 0x%08lx\n", exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    free(rest);
    return 0;
}

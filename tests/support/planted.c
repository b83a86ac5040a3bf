/* planted.dll: what a web page could leave in a Downloads folder under the
 * name of a system DLL. Whenever it is loaded it appends its own path, as a
 * UTF-8 line, to the file named by PLANTED_MARKER. Test-only. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    wchar_t marker[MAX_PATH], path[MAX_PATH];
    char line[3 * MAX_PATH + 2];
    int count;
    DWORD written;
    HANDLE file;
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH || !GetEnvironmentVariableW(L"PLANTED_MARKER", marker, MAX_PATH)) return TRUE;
    path[0] = L'\0';
    GetModuleFileNameW(self, path, MAX_PATH);
    count = WideCharToMultiByte(CP_UTF8, 0, path, -1, line, sizeof line - 1, NULL, NULL);
    if (count <= 0) count = 1;
    line[count - 1] = '\n';
    file = CreateFileW(marker, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, 0, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        WriteFile(file, line, (DWORD)count, &written, NULL);
        CloseHandle(file);
    }
    return TRUE;
}

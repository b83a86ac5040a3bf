/* capture FILE URL: the test prefix's "browser". Registered as the open
 * command of http and https, so ShellExecuteW hands it the URL unchanged; it
 * appends the URL exactly as received (the rest of its command line, without
 * the quotation marks around it) as a UTF-8 line to FILE, and the argument
 * list it was given after FILE (each argument as hexadecimal UTF-8, blank
 * separated) as a line to FILE.args. Test-only. */
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

static const wchar_t* SkipToken(const wchar_t* line) {
    wchar_t end = L' ';
    if (*line == L'"') end = *line++;
    while (*line && *line != end) ++line;
    if (*line) ++line;
    while (*line == L' ') ++line;
    return line;
}

static int AppendLine(const wchar_t* file, const char* bytes, size_t count) {
    FILE* out = _wfopen(file, L"ab");
    if (!out) return 1;
    fwrite(bytes, 1, count, out);
    fputc('\n', out);
    fclose(out);
    return 0;
}

static void AppendHexArguments(const wchar_t* file, int argc, wchar_t** argv) {
    static char line[1 << 18];
    size_t used = 0;
    char utf8[65536];
    int i, j, n;
    for (i = 2; i < argc; ++i) {
        n = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, utf8, sizeof utf8, NULL, NULL) - 1;
        if (i > 2) line[used++] = ' ';
        for (j = 0; j < n && used + 3 < sizeof line; ++j) used += sprintf(line + used, "%02x", (unsigned char)utf8[j]);
    }
    AppendLine(file, line, used);
}

int wmain(int argc, wchar_t** argv) {
    const wchar_t* url = SkipToken(SkipToken(GetCommandLineW()));
    size_t length = wcslen(url);
    char utf8[65536];
    wchar_t argsFile[MAX_PATH + 8];
    int n;
    if (argc < 3) return 2;
    if (length >= 2 && url[0] == L'"' && url[length - 1] == L'"') ++url, length -= 2;
    n = WideCharToMultiByte(CP_UTF8, 0, url, (int)length, utf8, sizeof utf8, NULL, NULL);
    _snwprintf(argsFile, MAX_PATH + 8, L"%ls.args", argv[1]);
    argsFile[MAX_PATH + 7] = L'\0';
    AppendHexArguments(argsFile, argc, argv);
    return AppendLine(argv[1], utf8, (size_t)n);
}

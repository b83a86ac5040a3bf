/* capture FILE URL: the test prefix's "browser". Registered as the open
 * command of http and https, so ShellExecuteW hands it the URL unchanged; it
 * appends the URL exactly as received (the rest of its command line, without
 * the quotation marks around it) as a UTF-8 line to FILE. Test-only. */
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

int wmain(int argc, wchar_t** argv) {
    const wchar_t* url = SkipToken(SkipToken(GetCommandLineW()));
    size_t length = wcslen(url);
    char utf8[65536];
    int n;
    FILE* out;
    if (argc < 3) return 2;
    if (length >= 2 && url[0] == L'"' && url[length - 1] == L'"') ++url, length -= 2;
    n = WideCharToMultiByte(CP_UTF8, 0, url, (int)length, utf8, sizeof utf8, NULL, NULL);
    out = _wfopen(argv[1], L"ab");
    if (!out) return 1;
    fwrite(utf8, 1, (size_t)n, out);
    fputc('\n', out);
    fclose(out);
    return 0;
}

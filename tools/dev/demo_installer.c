/* The installer that scripts/demo serves: it installs nothing, and says so
 * in its report at the path after "/silent", naming the key it was given. */
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>

int wmain(void) {
    int count = 0, i;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    for (i = 1; i + 1 < count; ++i) {
        if (wcscmp(args[i], L"/silent") == 0) {
            FILE* report = _wfopen(args[i + 1], L"wb");
            if (report) {
                fprintf(report, "Loomcraft demo installer: nothing to install for key %ls.\r\n",
                        count > 1 ? args[1] : L"(none)");
                fprintf(report, "It was started with %d arguments by the launcher; all is well.\r\n", count - 1);
                fclose(report);
            }
        }
    }
    return 0;
}

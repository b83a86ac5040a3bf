/* windriver VERB TITLE [ARGUMENTS]: finds the top-level dialog (#32770) with
 * that caption and drives or describes it, as a user's clicks and keys would.
 * Test-only.
 *   wait TITLE shown|hidden|gone MS  waits for that state (exit 1 on time-out),
 *                                    then describes the window
 *   describe TITLE                   "rect=L,T,R,B work=L,T,R,B owner=L,T,R,B|-
 *                                    bar=STYLE,LOW,HIGH,POS|- pid=N hwnd=H"
 *   command TITLE ID                 posts WM_COMMAND ID
 *   close TITLE                      posts what the close box sends (SC_CLOSE)
 *   escape TITLE                     posts the Escape key to the dialog's loop
 *   fill TITLE USER PASSWORD         sets the proxy dialog's two fields
 *   click TITLE ID                   clicks the button ID
 *   text TITLE [ID]                  prints a message box's text (or that of
 *                                    control ID), hex of UTF-8
 *   crash TITLE [RVA]                starts a thread at address 0 in the
 *                                    window's process (a call through null),
 *                                    or at that hexadecimal offset into the
 *                                    module that made the window
 *   measure TITLE DPI                "client=W,H" then, per control in
 *                                    z-order, "control CLASS ID L,T,R,B W,H":
 *                                    its rectangle in the dialog's client
 *                                    area and the extent of its text (" "
 *                                    when empty) in the dialog font of the
 *                                    templates, MS Shell Dlg 8 pt, at DPI
 *                                    (another process's font cannot be read)
 *   show TITLE 0|1                   hides or shows the window
 *   dpi TITLE DPI L T R B            sends WM_DPICHANGED as a move to a
 *                                    monitor of that DPI would, suggesting
 *                                    that window rectangle */
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static HWND Find(const wchar_t* title) { return FindWindowW(L"#32770", title); }

static void PrintRect(const char* name, const RECT* r) {
    printf(" %s=%ld,%ld,%ld,%ld", name, r->left, r->top, r->right, r->bottom);
}

static int Describe(HWND window) {
    RECT rect, work;
    HWND owner = GetWindow(window, GW_OWNER), bar = GetDlgItem(window, 1001);
    DWORD pid = 0;
    GetWindowRect(window, &rect);
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    PrintRect("rect", &rect);
    PrintRect("work", &work);
    if (owner) {
        RECT o;
        GetWindowRect(owner, &o);
        PrintRect("owner", &o);
    } else {
        printf(" owner=-");
    }
    if (bar) {
        printf(" bar=0x%lx,%ld,%ld,%ld", (unsigned long)GetWindowLongW(bar, GWL_STYLE),
               (long)SendMessageW(bar, PBM_GETRANGE, TRUE, 0), (long)SendMessageW(bar, PBM_GETRANGE, FALSE, 0),
               (long)SendMessageW(bar, PBM_GETPOS, 0, 0));
    } else {
        printf(" bar=-");
    }
    GetWindowThreadProcessId(window, &pid);
    printf(" pid=%lu hwnd=0x%lx\n", pid, (unsigned long)(ULONG_PTR)window);
    return 0;
}

static int Wait(const wchar_t* title, const wchar_t* state, DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        HWND window = Find(title);
        int shown = window && IsWindowVisible(window);
        if (wcscmp(state, L"gone") == 0 ? !window : wcscmp(state, L"shown") == 0 ? shown : window && !shown) {
            return window ? Describe(window) : 0;
        }
        if (GetTickCount() - start > ms) return 1;
        Sleep(20);
    }
}

static void PrintHexUtf8(const wchar_t* text) {
    char utf8[8192];
    int i, n = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL, NULL);
    for (i = 0; i + 1 < n; ++i) printf("%02x", (unsigned char)utf8[i]);
    printf("\n");
}

static int Crash(HWND window, const wchar_t* rva) {
    DWORD pid = 0;
    HANDLE process, thread;
    char* start = rva ? (char*)GetWindowLongPtrW(window, GWLP_HINSTANCE) + wcstoul(rva, NULL, 16) : NULL;
    GetWindowThreadProcessId(window, &pid);
    process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
    thread = process ? CreateRemoteThread(process, NULL, 0, (LPTHREAD_START_ROUTINE)start, NULL, 0, NULL) : NULL;
    if (!thread) fprintf(stderr, "windriver: no thread (error %lu)\n", GetLastError());
    return thread ? 0 : 1;
}

static int Measure(HWND window, int dpi) {
    HWND control;
    RECT client;
    HDC dc = GetDC(NULL);
    HFONT font = CreateFontW(-MulDiv(8, dpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0,
                             DEFAULT_QUALITY, FF_DONTCARE, L"MS Shell Dlg");
    HGDIOBJ previous = SelectObject(dc, font);
    GetClientRect(window, &client);
    printf("client=%ld,%ld\n", client.right, client.bottom);
    for (control = GetWindow(window, GW_CHILD); control; control = GetWindow(control, GW_HWNDNEXT)) {
        wchar_t name[64], text[256];
        RECT r;
        SIZE extent = {0, 0};
        GetClassNameW(control, name, 64);
        if (GetWindowTextW(control, text, 256) == 0) wcscpy(text, L" ");
        GetTextExtentPoint32W(dc, text, (int)wcslen(text), &extent);
        GetWindowRect(control, &r);
        MapWindowPoints(NULL, window, (POINT*)&r, 2);
        printf("control %ls %d %ld,%ld,%ld,%ld %ld,%ld\n", name, GetDlgCtrlID(control), r.left, r.top, r.right, r.bottom,
               extent.cx, extent.cy);
    }
    SelectObject(dc, previous);
    DeleteObject(font);
    ReleaseDC(NULL, dc);
    return 0;
}

/* The suggested rectangle travels as a pointer: it is written into the
 * window's process, where the message arrives unmarshalled. */
static int ChangeDpi(HWND window, wchar_t** arguments) {
    DWORD pid = 0;
    RECT suggested;
    HANDLE process;
    void* remote;
    int dpi = _wtoi(arguments[0]), sent;
    SetRect(&suggested, _wtoi(arguments[1]), _wtoi(arguments[2]), _wtoi(arguments[3]), _wtoi(arguments[4]));
    GetWindowThreadProcessId(window, &pid);
    process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
    remote = process ? VirtualAllocEx(process, NULL, sizeof suggested, MEM_COMMIT, PAGE_READWRITE) : NULL;
    sent = remote && WriteProcessMemory(process, remote, &suggested, sizeof suggested, NULL) &&
           SendMessageTimeoutW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), (LPARAM)remote, SMTO_NORMAL, 10000, NULL);
    if (remote) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    if (process) CloseHandle(process);
    if (!sent) fprintf(stderr, "windriver: WM_DPICHANGED not delivered (error %lu)\n", GetLastError());
    return !sent;
}

int wmain(int argc, wchar_t** argv) {
    const wchar_t* verb = argc > 2 ? argv[1] : L"";
    HWND window;
    wchar_t text[4096];
    if (wcscmp(verb, L"wait") == 0 && argc == 5) return Wait(argv[2], argv[3], wcstoul(argv[4], NULL, 10));
    window = argc > 2 ? Find(argv[2]) : NULL;
    if (!window) {
        fprintf(stderr, "windriver: no window to %ls\n", verb);
        return 2;
    }
    if (wcscmp(verb, L"describe") == 0) return Describe(window);
    if (wcscmp(verb, L"command") == 0 && argc == 4) return !PostMessageW(window, WM_COMMAND, wcstoul(argv[3], NULL, 10), 0);
    if (wcscmp(verb, L"close") == 0) return !PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    if (wcscmp(verb, L"escape") == 0) return !PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
    if (wcscmp(verb, L"fill") == 0 && argc == 5) {
        return !(SetDlgItemTextW(window, 1002, argv[3]) && SetDlgItemTextW(window, 1003, argv[4]));
    }
    if (wcscmp(verb, L"click") == 0 && argc == 4) {
        return !PostMessageW(GetDlgItem(window, (int)wcstoul(argv[3], NULL, 10)), BM_CLICK, 0, 0);
    }
    if (wcscmp(verb, L"text") == 0) {
        GetDlgItemTextW(window, argc > 3 ? (int)wcstoul(argv[3], NULL, 10) : 0xFFFF, text, 4096);
        PrintHexUtf8(text);
        return 0;
    }
    if (wcscmp(verb, L"crash") == 0) return Crash(window, argc > 3 ? argv[3] : NULL);
    if (wcscmp(verb, L"measure") == 0 && argc == 4) return Measure(window, _wtoi(argv[3]));
    if (wcscmp(verb, L"dpi") == 0 && argc == 8) return ChangeDpi(window, argv + 3);
    if (wcscmp(verb, L"show") == 0 && argc == 4) {
        ShowWindow(window, _wtoi(argv[3]) ? SW_SHOWNA : SW_HIDE);
        return 0;
    }
    fprintf(stderr, "windriver: unknown verb or arguments\n");
    return 2;
}

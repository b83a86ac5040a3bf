/* resdump FILE
 *
 * Loads FILE as a data file and prints, one per line, what the tests check of
 * the launcher's resources:
 *   string 16589 <text as UTF-8 hex>
 *   fixed <file version MS> <LS> <product version MS> <LS>   (hex)
 *   value <name> <text as UTF-8 hex>                         (StringFileInfo 040904b0)
 *   resource <type> <id> <language> <bytes as hex>
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

static void PrintHex(const void* data, DWORD size) {
    const unsigned char* bytes = (const unsigned char*)data;
    DWORD i;
    for (i = 0; i < size; ++i) printf("%02x", bytes[i]);
    if (size == 0) printf("-");
}

static void PrintWideHex(const wchar_t* text) {
    char utf8[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL, NULL);
    PrintHex(utf8, n > 0 ? (DWORD)(n - 1) : 0);
}

static BOOL CALLBACK PrintResource(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR unused) {
    HRSRC found = FindResourceExW(module, type, name, language);
    HGLOBAL loaded = found ? LoadResource(module, found) : NULL;
    (void)unused;
    if (!loaded || IS_INTRESOURCE(name) == 0 || IS_INTRESOURCE(type) == 0) return TRUE;
    printf("resource %u %u %04x ", (unsigned)(ULONG_PTR)type, (unsigned)(ULONG_PTR)name, language);
    PrintHex(LockResource(loaded), SizeofResource(module, found));
    printf("\n");
    return TRUE;
}

static BOOL CALLBACK PrintNames(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR unused) {
    return EnumResourceLanguagesW(module, type, name, PrintResource, unused);
}

static void PrintVersion(const wchar_t* path) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    static const wchar_t* names[] = {L"FileVersion", L"ProductVersion", L"ProductName", L"FileDescription"};
    void* info;
    VS_FIXEDFILEINFO* fixed = NULL;
    UINT length = 0;
    int i;
    if (size == 0) return;
    info = malloc(size);
    if (!GetFileVersionInfoW(path, 0, size, info)) return;
    if (VerQueryValueW(info, L"\\", (void**)&fixed, &length) && fixed) {
        printf("fixed %08lx %08lx %08lx %08lx\n", fixed->dwFileVersionMS, fixed->dwFileVersionLS,
               fixed->dwProductVersionMS, fixed->dwProductVersionLS);
    }
    for (i = 0; i < 4; ++i) {
        wchar_t query[128];
        wchar_t* value = NULL;
        swprintf(query, 128, L"\\StringFileInfo\\040904b0\\%ls", names[i]);
        if (VerQueryValueW(info, query, (void**)&value, &length) && value) {
            printf("value %ls ", names[i]);
            PrintWideHex(value);
            printf("\n");
        }
    }
    free(info);
}

int wmain(int argc, wchar_t** argv) {
    HMODULE module;
    wchar_t text[128];
    static const WORD types[] = {3 /* RT_ICON */, 5 /* RT_DIALOG */, 14 /* RT_GROUP_ICON */, 24 /* RT_MANIFEST */};
    int i;
    if (argc != 2) {
        fprintf(stderr, "usage: resdump FILE\n");
        return 2;
    }
    module = LoadLibraryExW(argv[1], NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) {
        fprintf(stderr, "resdump: cannot load (error %lu)\n", GetLastError());
        return 3;
    }
    ZeroMemory(text, sizeof text);
    LoadStringW(module, 16589, text, 128);
    printf("string 16589 ");
    PrintWideHex(text);
    printf("\n");
    PrintVersion(argv[1]);
    for (i = 0; i < 4; ++i) EnumResourceNamesW(module, MAKEINTRESOURCEW(types[i]), PrintNames, 0);
    return 0;
}

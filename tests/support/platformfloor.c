/* platformfloor URL FILE SIZE: the least the platform does for a launcher's
 * job, for bench/silent_install to measure the launcher against. Test-only.
 * Downloads URL with WinINet into a buffer sized from Content-Length,
 * inflates it (zlib or gzip) into a buffer of SIZE bytes, writes that to
 * FILE, runs WinVerifyTrust on it and starts it, waiting for it to end.
 * Exit code 0 when all of that worked. */
#include <windows.h>
#include <wininet.h>
#include <softpub.h>
#include <wintrust.h>
#include <stdio.h>
#include <stdlib.h>
#include <zlib.h>

static int Fail(const char* step) {
    fprintf(stderr, "platformfloor: %s failed (%lu)\n", step, GetLastError());
    return 1;
}

int wmain(int argc, wchar_t** argv) {
    HINTERNET internet, request;
    DWORD length = 0, size = sizeof length, got = 0, total = 0;
    unsigned char *body, *unpacked;
    unsigned long unpackedSize;
    z_stream stream = {0};
    HANDLE file;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_FILE_INFO info = {sizeof info};
    WINTRUST_DATA trust = {sizeof trust};
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION process;
    if (argc != 4) return 2;
    unpackedSize = wcstoul(argv[3], NULL, 10);

    internet = InternetOpenW(L"platformfloor", INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    request = InternetOpenUrlW(internet, argv[1], NULL, 0, INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0);
    if (!request) return Fail("download");
    HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length, &size, NULL);
    body = malloc(length);
    while (total < length && InternetReadFile(request, body + total, length - total, &got) && got) total += got;
    InternetCloseHandle(request);
    InternetCloseHandle(internet);
    if (total != length) return Fail("download");

    unpacked = malloc(unpackedSize);
    stream.next_in = body;
    stream.avail_in = length;
    stream.next_out = unpacked;
    stream.avail_out = unpackedSize;
    if (inflateInit2(&stream, 15 + 32) != Z_OK || inflate(&stream, Z_FINISH) != Z_STREAM_END) return Fail("inflate");
    inflateEnd(&stream);
    free(body);

    file = CreateFileW(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE || !WriteFile(file, unpacked, stream.total_out, &got, NULL)) return Fail("write");
    CloseHandle(file);
    free(unpacked);

    info.pcwszFilePath = argv[2];
    trust.dwUIChoice = WTD_UI_NONE;
    trust.dwUnionChoice = WTD_CHOICE_FILE;
    trust.pFile = &info;
    if (WinVerifyTrust(NULL, &action, &trust) != 0) return Fail("trust");

    if (!CreateProcessW(argv[2], NULL, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) return Fail("start");
    WaitForSingleObject(process.hProcess, INFINITE);
    return 0;
}

// httpdrive [OPTIONS] URL
//
// Drives the launcher's own transfer code once and prints what happened as
// one JSON object on standard output. Test-only.
//   --range START END      range to ask for (default 0 -1: none)
//   --retries PAUSE_MS     RequestWithRetries with this pause (default: one Request)
//   --probe                QueryRemoteSize instead of a download
//   --credentials U P      proxy credentials passed up front
//   --run-credentials U P  run-wide credentials, which the downloader's hook supplies
//   --silent               silent mode (the hook supplies nothing without run-wide credentials)
//   --window               a window with progress bar 1001; every progress call is recorded
//   --body FILE            write the collected body to FILE
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "foundation/files.h"
#include "foundation/run_options.h"
#include "foundation/text.h"
#include "http/connection.h"
#include "http/retries.h"
#include "http/transfer.h"
#include "resources/resource_ids.h"

namespace {

struct ProgressStep {
    uint64_t position, total;
    bool marquee;
    int barPosition;
};

// The real downloader, with its hooks observed.
class ObservedDownloader : public CDownloader {
public:
    CResult OnProgress(uint64_t position, uint64_t total) override {
        CResult result = CDownloader::OnProgress(position, total);
        HWND bar = GetDlgItem(m_hWnd, IDC_PROGRESS_BAR);
        if (bar != nullptr) {
            bool marquee = (GetWindowLongW(bar, GWL_STYLE) & PBS_MARQUEE) != 0;
            int barPosition = static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0));
            steps.push_back({position, total, marquee, barPosition});
        }
        return result;
    }
    ProxyAnswer GetProxyCredentials(CProxyCredentials& credentials, const CProxyCredentials* refused) override {
        ++hookCalls;
        return CDownloader::GetProxyCredentials(credentials, refused);
    }
    std::vector<ProgressStep> steps;
    int hookCalls = 0;
};

std::string Json(const std::wstring& text) {
    std::string utf8, out = "\"";
    ToUtf8(text, utf8);
    for (unsigned char c : utf8) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

HWND CreateProgressWindow() {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    HWND window = CreateWindowExW(0, L"STATIC", L"httpdrive", WS_OVERLAPPEDWINDOW, 0, 0, 400, 100, nullptr, nullptr,
                                  nullptr, nullptr);
    CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE | WS_BORDER, 10, 10, 360, 20, window,
                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_PROGRESS_BAR)), nullptr, nullptr);
    return window;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int64_t start = 0, end = kNoRangeEnd;
    bool retries = false, probe = false, window = false;
    DWORD pause = 0;
    CProxyCredentials upFront;
    bool haveUpFront = false;
    std::wstring url, bodyFile;
    for (int i = 1; i < argc; ++i) {
        std::wstring a = argv[i];
        if (a == L"--range" && i + 2 < argc) {
            start = _wtoi64(argv[++i]);
            end = _wtoi64(argv[++i]);
        } else if (a == L"--retries" && i + 1 < argc) {
            retries = true;
            pause = static_cast<DWORD>(_wtoi(argv[++i]));
        } else if (a == L"--probe") {
            probe = true;
        } else if (a == L"--credentials" && i + 2 < argc) {
            upFront = {argv[i + 1], argv[i + 2]};
            haveUpFront = true;
            i += 2;
        } else if (a == L"--run-credentials" && i + 2 < argc) {
            g_proxyCredentials.reset(new CProxyCredentials{argv[i + 1], argv[i + 2]});
            i += 2;
        } else if (a == L"--silent") {
            g_silent = true;
        } else if (a == L"--window") {
            window = true;
        } else if (a == L"--body" && i + 1 < argc) {
            bodyFile = argv[++i];
        } else if (url.empty()) {
            url = a;
        } else {
            std::fprintf(stderr, "httpdrive: unexpected argument\n");
            return 2;
        }
    }
    const CProxyCredentials* credentials = haveUpFront ? &upFront : nullptr;
    CResult result;
    CResponseInfo info;
    ObservedDownloader downloader;
    int64_t size = 0;
    if (window) downloader.m_hWnd = CreateProgressWindow();
    if (probe) {
        result = QueryRemoteSize(url, credentials, size, &info.m_status, &info.m_lastModified);
    } else if (retries) {
        result = RequestWithRetries(downloader, url, credentials, start, end, pause, &info);
    } else {
        result = downloader.Request(url, credentials, start, end, &info, GetUserAgent());
    }
    if (!bodyFile.empty()) WriteWholeFile(bodyFile, downloader.m_body.data(), downloader.m_body.size());

    std::printf("{\"hr\": %ld, \"code\": %d, \"message\": %s, \"status\": %lu, \"lastModified\": %s, "
                "\"received\": %llu, \"contentLength\": %lld, \"totalSize\": %lld, \"bodyLength\": %u, "
                "\"size\": %lld, \"hookCalls\": %d, \"progress\": [",
                static_cast<long>(result.m_hr), result.m_code, Json(result.m_message).c_str(), info.m_status,
                Json(info.m_lastModified).c_str(), static_cast<unsigned long long>(info.m_received),
                static_cast<long long>(info.m_contentLength), static_cast<long long>(info.m_totalSize),
                static_cast<unsigned>(downloader.m_body.size()), static_cast<long long>(size), downloader.hookCalls);
    for (size_t i = 0; i < downloader.steps.size(); ++i) {
        const ProgressStep& s = downloader.steps[i];
        std::printf("%s[%llu, %llu, %s, %d]", i ? ", " : "", static_cast<unsigned long long>(s.position),
                    static_cast<unsigned long long>(s.total), s.marquee ? "true" : "false", s.barPosition);
    }
    std::printf("]}\n");
    return 0;
}

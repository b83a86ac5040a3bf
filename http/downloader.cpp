// CDownloader: the body in memory, and the progress bar of the progress window.
#include <windows.h>
#include <commctrl.h>

#include <new>

#include "foundation/run_options.h"
#include "http/transfer.h"
#include "resources/resource_ids.h"

namespace {

ProxyCredentialsPrompt g_prompt = nullptr;  // installed by the launcher before any transfer

constexpr int kBarRange = 1000;
// Each credential a proxy refuses may be one failed logon of the user's
// domain account, and domains lock accounts after a few: the run's third
// refusal ends it.
constexpr int kMostProxyRefusalsPerRun = 3;

void SetMarquee(HWND bar, LONG style) {
    if (style & PBS_MARQUEE) return;
    SetWindowLongW(bar, GWL_STYLE, style | PBS_MARQUEE);
    SendMessageW(bar, PBM_SETMARQUEE, TRUE, 0);
}

void SetDeterminate(HWND bar, LONG style, uint64_t position, uint64_t total) {
    if (style & PBS_MARQUEE) {
        SetWindowLongW(bar, GWL_STYLE, style & ~PBS_MARQUEE);
        SendMessageW(bar, PBM_SETMARQUEE, FALSE, 0);
    }
    SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, kBarRange));
    double thousandths = static_cast<double>(position) * 1000.0 / static_cast<double>(total);
    SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(static_cast<int>(thousandths)), 0);
}

// A transfer that announces its total size gets the whole buffer at once (a
// resumed attempt keeps it); only bodies of unknown size grow by copying.
// When the memory cannot be had, the body grows as far as it can instead.
void ReserveBody(std::vector<unsigned char>& body, uint64_t total) {
    if (total <= body.capacity() || total > body.max_size()) return;
    try {
        body.reserve(static_cast<size_t>(total));
    } catch (const std::bad_alloc&) {
    }
}

// Entered credentials become the run's, for its later requests and the
// installer. An existing record is overwritten in place: a transfer under
// way may hold a pointer to it.
void KeepAsRunCredentials(const CProxyCredentials& entered) {
    if (g_proxyCredentials) {
        *g_proxyCredentials = entered;
    } else {
        g_proxyCredentials.reset(new CProxyCredentials(entered));
    }
}

}  // namespace

CResult CDownloader::OnProgress(uint64_t position, uint64_t total) {
    m_total = total;
    if (g_silent) return CResult();
    HWND bar = GetDlgItem(m_hWnd, IDC_PROGRESS_BAR);
    if (bar == nullptr) return CResult();
    LONG style = GetWindowLongW(bar, GWL_STYLE);
    if (total != 0 && position != 0) {
        SetDeterminate(bar, style, position, total);
    } else {
        SetMarquee(bar, style);
    }
    return CResult();
}

CResult CDownloader::OnData(uint64_t, const unsigned char* bytes, DWORD count) {
    ReserveBody(m_body, m_total);
    m_body.insert(m_body.end(), bytes, bytes + count);
    return CResult();
}

ProxyAnswer CDownloader::GetProxyCredentials(CProxyCredentials& credentials, const CProxyCredentials* refused) {
    if (refused == nullptr && g_proxyCredentials) {
        credentials = *g_proxyCredentials;
        return ProxyAnswer::Supplied;
    }
    if (refused != nullptr && ++g_proxyRefusals >= kMostProxyRefusalsPerRun) return ProxyAnswer::GiveUp;
    // A silent run cannot ask: without credentials from the command line it
    // has none, and refused ones are not replaced.
    if (g_silent) return refused != nullptr ? ProxyAnswer::GiveUp : ProxyAnswer::NoneGiven;
    CProxyCredentials entered;
    if (g_prompt == nullptr || !g_prompt(m_hWnd, refused != nullptr ? refused->m_userName : std::wstring(), entered)) {
        return ProxyAnswer::NoneGiven;
    }
    KeepAsRunCredentials(entered);
    credentials = *g_proxyCredentials;
    return ProxyAnswer::Supplied;
}

void SetProxyCredentialsPrompt(ProxyCredentialsPrompt prompt) { g_prompt = prompt; }

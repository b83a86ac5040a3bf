#include "launcher/command_line.h"

#include <cwchar>
#include <memory>

#include "foundation/run_options.h"

namespace {

bool IsSwitch(const wchar_t* argument, const std::wstring& name) {
    return _wcsicmp(argument, name.c_str()) == 0;
}

// A switch's value is the next argument when there is one that does not
// start with a slash (an empty argument is a value too).
bool IsValue(int index, int count, const wchar_t* const* args) {
    return index < count && args[index][0] != L'/';
}

}  // namespace

std::wstring CacheSwitchText() {
    std::wstring text = L"/cac";
    text += L"he_";
    text += L"keep";
    return text;
}

std::wstring KeySwitchText() {
    std::wstring text = L"/pas";
    text += L"sc";
    text += L"ode";
    return text;
}

CCommandLineValues ParseCommandLine(int count, const wchar_t* const* args) {
    CCommandLineValues values;
    for (int i = 1; i < count; ++i) {
        const wchar_t* argument = args[i];
        if (IsSwitch(argument, L"/silent")) {
            g_silent = true;
            if (IsValue(i + 1, count, args)) values.reportTarget = args[++i];
        } else if (IsSwitch(argument, L"/proxyauth")) {
            g_proxyCredentials.reset(new CProxyCredentials());
            if (IsValue(i + 1, count, args)) {
                g_proxyCredentials->m_userName = args[++i];
                if (IsValue(i + 1, count, args)) g_proxyCredentials->m_password = args[++i];
            }
        } else if (IsSwitch(argument, CacheSwitchText())) {
            g_cacheEnabled = true;
        } else if (IsSwitch(argument, L"/noresume")) {
            g_resumeEnabled = false;
        } else if (IsSwitch(argument, KeySwitchText())) {
            if (IsValue(i + 1, count, args)) values.keySwitchValue = args[++i];
        } else {
            g_passThroughArgs.push_back(argument);
        }
    }
    return values;
}

// The launcher's command line: "/silent" [report target], "/proxyauth"
// [user [password]], the cache switch, the key switch [key], "/noresume";
// everything else is passed through to the installer.
#pragma once

#include <string>

struct CCommandLineValues {
    std::wstring reportTarget;    // empty unless "/silent" took a value
    std::wstring keySwitchValue;  // empty unless the key switch took a value
};

// The two switches that never appear whole in the program's strings: they
// are joined from pieces just before they are compared.
std::wstring CacheSwitchText();
std::wstring KeySwitchText();

// Walks args[1..count-1] (args[0], the program path, is skipped) and sets
// g_silent, g_cacheEnabled, g_resumeEnabled, g_proxyCredentials and
// g_passThroughArgs.
CCommandLineValues ParseCommandLine(int count, const wchar_t* const* args);

#include <gtest/gtest.h>
#include <windows.h>
#include <urlmon.h>
#include <wininet.h>

#include <cstring>

#include "http/connection.h"
#include "http/cracked_url.h"
#include "http/transfer.h"

namespace {

TEST(CrackUrl, SchemesPortsAndExtraInformation) {
    CCrackedUrl url;
    ASSERT_EQ(CrackUrl(L"https://localhost/files/x.bin", url).m_hr, S_OK);
    EXPECT_EQ(url.m_scheme, INTERNET_SCHEME_HTTPS);
    EXPECT_EQ(url.m_port, 443);
    EXPECT_EQ(url.m_hostName, L"localhost");
    EXPECT_EQ(url.m_urlPath, L"/files/x.bin");
    EXPECT_EQ(url.m_extraInfo, L"");
    EXPECT_EQ(url.m_schemeName, L"https");

    ASSERT_EQ(CrackUrl(L"https://localhost:8443/p?a=b", url).m_hr, S_OK);
    EXPECT_EQ(url.m_port, 8443);
    EXPECT_EQ(url.m_extraInfo, L"?a=b");

    ASSERT_EQ(CrackUrl(L"http://user:pw@example.test/", url).m_hr, S_OK);
    EXPECT_EQ(url.m_scheme, INTERNET_SCHEME_HTTP);
    EXPECT_EQ(url.m_port, 80);
    EXPECT_EQ(url.m_userName, L"user");
    EXPECT_EQ(url.m_password, L"pw");
}

TEST(CrackUrl, RejectedTextFailsWith93AndKeepsDefaults) {
    CCrackedUrl url;
    url.m_hostName = L"stale";
    for (const wchar_t* text : {L"", L"not a url"}) {
        CResult result = CrackUrl(text, url);
        EXPECT_LT(result.m_hr, 0) << text;
        EXPECT_EQ(result.m_code, 93);
        EXPECT_TRUE(result.m_message.empty());
        EXPECT_EQ(url.m_hostName, L"");
        EXPECT_EQ(url.m_scheme, INTERNET_SCHEME_UNKNOWN);
    }
}

TEST(ConnectionSetup, UserAgentComesFromTheSystem) {
    char system[3120] = {};
    DWORD size = sizeof system;
    ASSERT_EQ(ObtainUserAgentString(0, system, &size), S_OK);
    // The whole text, so that the fallback "Mozilla/4.0" does not pass.
    EXPECT_EQ(GetUserAgent(), std::wstring(system, system + std::strlen(system)));
}

DWORD QueryLimit(DWORD option) {
    DWORD value = 0, size = sizeof value;
    InternetQueryOptionW(nullptr, option, &value, &size);
    return value;
}

TEST(ConnectionSetup, ConnectionLimitsAreOnlyEverRaised) {
    DWORD two = 2, hundred = 100;
    InternetSetOptionW(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &two, sizeof two);
    InternetSetOptionW(nullptr, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, &hundred, sizeof hundred);
    RaiseConnectionLimits();
    EXPECT_EQ(QueryLimit(INTERNET_OPTION_MAX_CONNS_PER_SERVER), 64u);
    EXPECT_EQ(QueryLimit(INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER), 100u);
}

std::wstring QueryText(HINTERNET handle, DWORD option) {
    wchar_t text[64] = {L'?'};
    DWORD size = sizeof text;
    if (!InternetQueryOptionW(handle, option, text, &size)) return L"<query failed>";
    return text;
}

TEST(ConnectionSetup, ProxyCredentialsReachTheRequestHandleEvenWhenEmpty) {
    InternetHandle internet(OpenInternet(L"test"));
    InternetHandle connection(OpenConnection(internet.get(), L"localhost", 1, false));
    InternetHandle request(OpenGetRequest(connection.get(), L"/x", false));
    ASSERT_TRUE(request);
    ASSERT_EQ(ApplyProxyCredentials(CProxyCredentials{L"name", L"secret"}, request.get()).m_hr, S_OK);
    EXPECT_EQ(QueryText(request.get(), INTERNET_OPTION_PROXY_USERNAME), L"name");
    EXPECT_EQ(QueryText(request.get(), INTERNET_OPTION_PROXY_PASSWORD), L"secret");
    // Empty values replace them: they are set, not skipped.
    ASSERT_EQ(ApplyProxyCredentials(CProxyCredentials{L"", L""}, request.get()).m_hr, S_OK);
    EXPECT_EQ(QueryText(request.get(), INTERNET_OPTION_PROXY_USERNAME), L"");
    EXPECT_EQ(QueryText(request.get(), INTERNET_OPTION_PROXY_PASSWORD), L"");
}

TEST(ConnectionSetup, CredentialsOnAnUnsuitableHandleFailWith59) {
    InternetHandle internet(OpenInternet(L"test"));
    CResult result = ApplyProxyCredentials(CProxyCredentials{L"u", L"p"}, nullptr);
    EXPECT_LT(result.m_hr, 0);
    EXPECT_EQ(result.m_code, 59);
}

// Hooks that record what the engine does before it touches the network.
class RecordingTransfer : public CWinInet {
public:
    CResult OnProgress(uint64_t, uint64_t) override {
        ++progressCalls;
        return failProgress ? CResult(E_ABORT, 0, L"stop") : CResult();
    }
    CResult OnData(uint64_t, const unsigned char*, DWORD) override { return CResult(); }
    ProxyAnswer GetProxyCredentials(CProxyCredentials&, const CProxyCredentials*) override {
        return ProxyAnswer::NoneGiven;
    }
    int progressCalls = 0;
    bool failProgress = false;
};

TEST(RequestEngine, RangeChecksComeBeforeAnyNetworkActivity) {
    RecordingTransfer transfer;
    CResponseInfo info;
    info.m_status = 99;
    CResult noRangeButStart = transfer.Request(L"http://127.0.0.1:1/x", nullptr, 5, kNoRangeEnd, &info, L"a");
    EXPECT_EQ(noRangeButStart.m_hr, E_FAIL);
    EXPECT_EQ(noRangeButStart.m_code, 93);
    EXPECT_EQ(info.m_status, 0u) << "the record is reset first";
    CResult backwards = transfer.Request(L"http://127.0.0.1:1/x", nullptr, 10, 5, nullptr, L"a");
    EXPECT_EQ(backwards.m_code, 91);
    EXPECT_EQ(transfer.progressCalls, 0);
}

TEST(RequestEngine, AFailedFirstProgressCallGetsCode106) {
    RecordingTransfer transfer;
    transfer.failProgress = true;
    CResult result = transfer.Request(L"http://127.0.0.1:1/x", nullptr, 0, kNoRangeEnd, nullptr, L"a");
    EXPECT_EQ(result.m_hr, E_ABORT);
    EXPECT_EQ(result.m_code, 106);
    EXPECT_EQ(result.m_message, L"stop");
}

TEST(UrlChecker, AbortsOnceTheSizeIsKnownOrAfterOneChunk) {
    CURLChecker checker;
    EXPECT_EQ(checker.OnProgress(0, 0).m_hr, S_OK);
    CResult known = checker.OnProgress(0, 5000);
    EXPECT_EQ(known.m_hr, E_ABORT);
    EXPECT_EQ(known.m_code, 0);
    EXPECT_EQ(checker.m_knownSize, 5000);
    CURLChecker unknown;
    EXPECT_EQ(unknown.OnProgress(4096, 0).m_hr, E_ABORT);
    EXPECT_EQ(unknown.m_knownSize, 0);
}

}  // namespace

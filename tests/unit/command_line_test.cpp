#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/run_options.h"
#include "launcher/command_line.h"

namespace {

class CommandLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_silent = false;
        g_cacheEnabled = false;
        g_resumeEnabled = true;
        g_passThroughArgs.clear();
        g_proxyCredentials.reset();
    }

    CCommandLineValues Parse(std::vector<std::wstring> args) {
        args.insert(args.begin(), L"C:\\dl\\loomcraft.exe");
        std::vector<const wchar_t*> pointers;
        for (const std::wstring& a : args) pointers.push_back(a.c_str());
        return ParseCommandLine(static_cast<int>(pointers.size()), pointers.data());
    }
};

TEST_F(CommandLineTest, NoArgumentsMeansInteractiveWithNothingSet) {
    CCommandLineValues values = Parse({});
    EXPECT_FALSE(g_silent);
    EXPECT_FALSE(g_cacheEnabled);
    EXPECT_EQ(g_proxyCredentials, nullptr);
    EXPECT_TRUE(g_passThroughArgs.empty());
    EXPECT_TRUE(values.reportTarget.empty());
    EXPECT_TRUE(values.keySwitchValue.empty());
}

TEST_F(CommandLineTest, SilentTakesAnOptionalTargetInAnyLetterCase) {
    EXPECT_EQ(Parse({L"/SILENT", L"out.txt"}).reportTarget, L"out.txt");
    EXPECT_TRUE(g_silent);
    EXPECT_EQ(Parse({L"/silent", L"."}).reportTarget, L".");
    EXPECT_EQ(Parse({L"/Silent", L"a", L"/silent", L"b"}).reportTarget, L"b");
    EXPECT_EQ(Parse({L"/silent", L"a", L"/silent"}).reportTarget, L"a") << "no value keeps the earlier one";
    EXPECT_TRUE(g_passThroughArgs.empty());
}

TEST_F(CommandLineTest, AnEmptyArgumentIsConsumedAsTheTarget) {
    CCommandLineValues values = Parse({L"/silent", L"", L"next"});
    EXPECT_TRUE(values.reportTarget.empty());
    ASSERT_EQ(g_passThroughArgs.size(), 1u);
    EXPECT_EQ(g_passThroughArgs[0], L"next");
}

TEST_F(CommandLineTest, SilentFollowedByProxyauthTakesNoTarget) {
    CCommandLineValues values = Parse({L"/silent", L"/proxyauth", L"user", L"secret"});
    EXPECT_TRUE(g_silent);
    EXPECT_TRUE(values.reportTarget.empty());
    ASSERT_NE(g_proxyCredentials, nullptr);
    EXPECT_EQ(g_proxyCredentials->m_userName, L"user");
    EXPECT_EQ(g_proxyCredentials->m_password, L"secret");
    EXPECT_TRUE(g_passThroughArgs.empty());
}

TEST_F(CommandLineTest, ProxyauthValuesAreEachOptional) {
    Parse({L"/proxyauth", L"user"});
    ASSERT_NE(g_proxyCredentials, nullptr);
    EXPECT_EQ(g_proxyCredentials->m_userName, L"user");
    EXPECT_EQ(g_proxyCredentials->m_password, L"");

    CCommandLineValues values = Parse({L"/proxyauth", L"/silent", L"r.txt"});
    ASSERT_NE(g_proxyCredentials, nullptr);
    EXPECT_EQ(g_proxyCredentials->m_userName, L"");
    EXPECT_EQ(g_proxyCredentials->m_password, L"");
    EXPECT_TRUE(g_silent);
    EXPECT_EQ(values.reportTarget, L"r.txt");

    Parse({L"/proxyauth", L"user", L"/other"});
    EXPECT_EQ(g_proxyCredentials->m_password, L"");
    ASSERT_EQ(g_passThroughArgs.size(), 1u);
    EXPECT_EQ(g_passThroughArgs[0], L"/other");
}

TEST_F(CommandLineTest, ASecondProxyauthReplacesTheFirstEvenWithoutValues) {
    Parse({L"/proxyauth", L"user", L"secret", L"/PROXYAUTH"});
    ASSERT_NE(g_proxyCredentials, nullptr);
    EXPECT_EQ(g_proxyCredentials->m_userName, L"");
    EXPECT_EQ(g_proxyCredentials->m_password, L"");
}

TEST_F(CommandLineTest, CacheAndKeySwitches) {
    std::wstring cache = CacheSwitchText();
    std::wstring key = KeySwitchText();
    EXPECT_EQ(cache.size(), 11u);
    EXPECT_EQ(key.size(), 9u);

    CCommandLineValues values = Parse({cache, key, L"quillo:ABC", key, L"DEF"});
    EXPECT_TRUE(g_cacheEnabled);
    EXPECT_TRUE(g_resumeEnabled);
    EXPECT_EQ(values.keySwitchValue, L"DEF");
    EXPECT_TRUE(g_passThroughArgs.empty());

    std::wstring upperKey = key;
    for (wchar_t& c : upperKey) c = towupper(c);
    EXPECT_EQ(Parse({upperKey, L"K"}).keySwitchValue, L"K");
    EXPECT_EQ(Parse({key, L"/silent"}).keySwitchValue, L"");
    EXPECT_TRUE(g_silent);

    Parse({L"/NoResume"});
    EXPECT_FALSE(g_resumeEnabled);
    EXPECT_TRUE(g_passThroughArgs.empty());
}

TEST_F(CommandLineTest, EverythingElseIsPassedThroughInOrderUnchanged) {
    Parse({L"/norestart", L"C:\\Program Files\\x", L"/silent", L"log.txt", L"-v", L"/SILENTLY"});
    std::vector<std::wstring> expected = {L"/norestart", L"C:\\Program Files\\x", L"-v", L"/SILENTLY"};
    EXPECT_EQ(g_passThroughArgs, expected);
}

}  // namespace

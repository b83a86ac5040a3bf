#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "foundation/handles.h"
#include "foundation/private_access.h"
#include "test_folder.h"

namespace {

std::wstring SidText(PSID sid) {
    LocalMemory text;
    if (!ConvertSidToStringSidW(sid, reinterpret_cast<LPWSTR*>(text.receive()))) return L"<none>";
    return static_cast<const wchar_t*>(text.get());
}

std::wstring ProcessUser() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    std::vector<BYTE> user(512);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()), &size);
    CloseHandle(token);
    return SidText(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
}

TEST(PrivateAccess, FullControlForUserSystemAndAdministratorsOnlyPassedOnAndNothingInherited) {
    CPrivateAccess access;
    ASSERT_EQ(access.Build().m_hr, S_OK);
    SECURITY_ATTRIBUTES* attributes = access.attributes();
    ASSERT_EQ(attributes->nLength, sizeof(SECURITY_ATTRIBUTES));
    EXPECT_FALSE(attributes->bInheritHandle);
    PSECURITY_DESCRIPTOR descriptor = attributes->lpSecurityDescriptor;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
    BOOL present = FALSE, defaulted = TRUE;
    PACL acl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted));
    ASSERT_TRUE(present && acl != nullptr);
    EXPECT_FALSE(defaulted);

    std::vector<std::wstring> principals;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(acl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        EXPECT_EQ(ace->Mask, static_cast<ACCESS_MASK>(FILE_ALL_ACCESS));
        principals.push_back(SidText(&ace->SidStart));
    }
    EXPECT_EQ(principals, (std::vector<std::wstring>{ProcessUser(), L"S-1-5-18", L"S-1-5-32-544"}));
}

// Owners and access lists as SDDL; "@" stands for the process's user.
struct AccessCase {
    const char* name;
    const wchar_t* sddl;
    bool isPrivate;
};

class PrivateDescriptors : public testing::TestWithParam<AccessCase> {};

TEST_P(PrivateDescriptors, OnlyTrustedOwnersAndAccessListsThatLetNobodyElseChangeArePrivate) {
    CPrivateAccess access;
    ASSERT_EQ(access.Build().m_hr, S_OK);
    std::wstring sddl = GetParam().sddl;
    for (size_t at = sddl.find(L'@'); at != std::wstring::npos; at = sddl.find(L'@')) sddl.replace(at, 1, ProcessUser());
    LocalMemory descriptor;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                     descriptor.receive(), nullptr));
    EXPECT_EQ(access.IsPrivateDescriptor(descriptor.get()), GetParam().isPrivate);
}

INSTANTIATE_TEST_SUITE_P(
    AccessLists, PrivateDescriptors,
    testing::Values(AccessCase{"TheThreeOnly", L"O:@D:P(A;;FA;;;@)(A;;FA;;;SY)(A;;FA;;;BA)", true},
                    AccessCase{"OwnedBySystem", L"O:SYD:(A;;FA;;;SY)", true},
                    AccessCase{"EveryoneReads", L"O:BAD:(A;;FA;;;SY)(A;;FR;;;WD)", true},
                    AccessCase{"EveryoneDenied", L"O:@D:(D;;FA;;;WD)(A;;FA;;;@)", true},
                    AccessCase{"EveryoneWritesOnlyInside", L"O:@D:(A;OICIIO;FA;;;WD)(A;;FA;;;@)", true},
                    AccessCase{"AnotherOwner", L"O:WDD:(A;;FA;;;SY)", false},
                    AccessCase{"NoOwner", L"D:(A;;FA;;;SY)", false},
                    AccessCase{"EveryoneWrites", L"O:@D:(A;;FA;;;@)(A;;FW;;;WD)", false},
                    AccessCase{"UsersDelete", L"O:@D:(A;;FA;;;@)(A;;0x10000;;;BU)", false},
                    AccessCase{"EveryoneChangesSecurity", L"O:@D:(A;;FA;;;@)(A;;WD;;;WD)", false},
                    AccessCase{"EveryoneGenericWrite", L"O:@D:(A;;GW;;;WD)", false}),
    [](const testing::TestParamInfo<AccessCase>& info) { return std::string(info.param.name); });

TEST(PrivateAccess, NoAccessListAtAllLetsEveryoneChange) {
    CPrivateAccess access;
    ASSERT_EQ(access.Build().m_hr, S_OK);
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    std::vector<BYTE> system(SECURITY_MAX_SID_SIZE);
    DWORD size = SECURITY_MAX_SID_SIZE;
    ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system.data(), &size));
    ASSERT_TRUE(SetSecurityDescriptorOwner(&descriptor, system.data(), FALSE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE));
    EXPECT_FALSE(access.IsPrivateDescriptor(&descriptor));
}

TEST(PrivateAccess, OwnFilesArePrivateAndAnUnbuiltAccessTrustsNothing) {
    TestFolder folder;
    std::wstring path = folder.Write(L"own.bin", "x");
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    bool isPrivate = true;
    EXPECT_TRUE(CPrivateAccess().IsPrivate(file.get(), isPrivate).Failed());
    EXPECT_FALSE(isPrivate);
    CPrivateAccess access;
    ASSERT_EQ(access.Build().m_hr, S_OK);
    ASSERT_EQ(access.IsPrivate(file.get(), isPrivate).m_hr, S_OK);
    EXPECT_TRUE(isPrivate);
}

}  // namespace

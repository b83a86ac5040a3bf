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

TEST(PrivateAccess, OwnFilesAreTrustedAndAnUnbuiltAccessTrustsNothing) {
    TestFolder folder;
    std::wstring path = folder.Write(L"own.bin", "x");
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    bool trusted = true;
    EXPECT_TRUE(CPrivateAccess().IsTrustedOwner(file.get(), trusted).Failed());
    EXPECT_FALSE(trusted);
    CPrivateAccess access;
    ASSERT_EQ(access.Build().m_hr, S_OK);
    ASSERT_EQ(access.IsTrustedOwner(file.get(), trusted).m_hr, S_OK);
    EXPECT_TRUE(trusted);
}

}  // namespace

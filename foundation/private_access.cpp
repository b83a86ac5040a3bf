#include "foundation/private_access.h"

#include <aclapi.h>

#include "foundation/handles.h"

namespace {

constexpr BYTE kInheritedByEverythingInside = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

CResult WellKnownSid(WELL_KNOWN_SID_TYPE type, std::vector<BYTE>& sid) {
    sid.assign(SECURITY_MAX_SID_SIZE, 0);
    DWORD size = SECURITY_MAX_SID_SIZE;
    if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) return CResult::FromLastError(0);
    sid.resize(size);
    return CResult();
}

CResult ReadTokenUser(std::vector<BYTE>& tokenUser) {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive())) return CResult::FromLastError(0);
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size == 0) return CResult::FromLastError(0);
    tokenUser.assign(size, 0);
    if (!GetTokenInformation(token.get(), TokenUser, tokenUser.data(), size, &size)) return CResult::FromLastError(0);
    return CResult();
}

PSID UserSid(const std::vector<BYTE>& tokenUser) {
    return reinterpret_cast<const TOKEN_USER*>(tokenUser.data())->User.Sid;
}

PSID AsSid(const std::vector<BYTE>& sid) { return const_cast<BYTE*>(sid.data()); }

}  // namespace

CResult CPrivateAccess::Build() {
    CResult step = ReadTokenUser(m_user);
    if (step.Succeeded()) step = WellKnownSid(WinLocalSystemSid, m_system);
    if (step.Succeeded()) step = WellKnownSid(WinBuiltinAdministratorsSid, m_administrators);
    if (step.Failed()) return step;

    const PSID principals[] = {UserSid(m_user), AsSid(m_system), AsSid(m_administrators)};
    DWORD aclSize = sizeof(ACL);
    for (PSID sid : principals) aclSize += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sid);
    m_acl.assign(aclSize, 0);
    PACL acl = reinterpret_cast<PACL>(m_acl.data());
    if (!InitializeAcl(acl, aclSize, ACL_REVISION)) return CResult::FromLastError(0);
    for (PSID sid : principals) {
        if (!AddAccessAllowedAceEx(acl, ACL_REVISION, kInheritedByEverythingInside, FILE_ALL_ACCESS, sid)) {
            return CResult::FromLastError(0);
        }
    }
    if (!InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&m_descriptor, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&m_descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
        return CResult::FromLastError(0);
    }
    m_attributes = SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), &m_descriptor, FALSE};
    return CResult();
}

CResult CPrivateAccess::IsTrustedOwner(HANDLE file, bool& trusted) const {
    trusted = false;
    if (m_user.empty()) return CResult(E_UNEXPECTED, 0);  // not built
    PSID owner = nullptr;
    LocalMemory descriptor;
    DWORD error = GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                  nullptr, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.receive()));
    if (error != ERROR_SUCCESS) return CResult(HResultFromError(static_cast<LONG>(error)), 0);
    if (owner == nullptr) return CResult();
    trusted = EqualSid(owner, UserSid(m_user)) || EqualSid(owner, AsSid(m_system)) ||
              EqualSid(owner, AsSid(m_administrators));
    return CResult();
}

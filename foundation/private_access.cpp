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

// What would let a principal replace a file's content or take it over.
constexpr ACCESS_MASK kChangingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                        DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL |
                                        MAXIMUM_ALLOWED;

}  // namespace

// An entry that grants changing rights to a principal outside the three.
// Denials, and entries that only pass on to objects inside a folder, change
// nothing for the file itself; an allowing entry of a kind not known here
// is taken to grant everything.
bool CPrivateAccess::LetsAnotherChange(const ACE_HEADER* header) const {
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) return false;
    switch (header->AceType) {
        case ACCESS_DENIED_ACE_TYPE:
        case ACCESS_DENIED_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
            return false;
        case ACCESS_ALLOWED_ACE_TYPE: {
            const auto* allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
            PSID sid = const_cast<DWORD*>(&allowed->SidStart);
            return (allowed->Mask & kChangingRights) != 0 && !IsTrusted(sid);
        }
        default:
            return true;
    }
}

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

bool CPrivateAccess::IsTrusted(PSID sid) const {
    return EqualSid(sid, UserSid(m_user)) || EqualSid(sid, AsSid(m_system)) || EqualSid(sid, AsSid(m_administrators));
}

CResult CPrivateAccess::IsPrivate(HANDLE file, bool& isPrivate) const {
    isPrivate = false;
    LocalMemory descriptor;
    CResult read = ReadSecurity(file, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor);
    if (read.Failed()) return read;
    isPrivate = IsPrivateDescriptor(descriptor.get());
    return CResult();
}

CResult CPrivateAccess::IsOwnedByUser(HANDLE file, bool& owned) const {
    owned = false;
    LocalMemory descriptor;
    CResult read = ReadSecurity(file, OWNER_SECURITY_INFORMATION, descriptor);
    if (read.Failed()) return read;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    owned = GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted) && owner != nullptr &&
            EqualSid(owner, UserSid(m_user));
    return CResult();
}

CResult CPrivateAccess::ReadSecurity(HANDLE file, SECURITY_INFORMATION parts, LocalMemory& descriptor) const {
    if (m_user.empty()) return CResult(E_UNEXPECTED, 0);  // not built
    DWORD error = GetSecurityInfo(file, SE_FILE_OBJECT, parts, nullptr, nullptr, nullptr, nullptr,
                                  reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.receive()));
    if (error != ERROR_SUCCESS) return CResult(HResultFromError(static_cast<LONG>(error)), 0);
    return CResult();
}

bool CPrivateAccess::IsPrivateDescriptor(PSECURITY_DESCRIPTOR descriptor) const {
    if (m_user.empty()) return false;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr || !IsTrusted(owner)) {
        return false;
    }
    BOOL present = FALSE;
    PACL acl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) || !present || acl == nullptr) {
        return false;
    }
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(acl, i, reinterpret_cast<void**>(&header)) || LetsAnotherChange(header)) return false;
    }
    return true;
}

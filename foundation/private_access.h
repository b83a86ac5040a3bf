// Who may reach what the launcher writes: the process's own user, SYSTEM and
// the Administrators group, nobody else. A folder created with this access
// passes it on to every file and folder made inside it, so that no other
// user of the machine can add a DLL beside the installer or change a file
// between its check and its start.
#pragma once

#include <windows.h>

#include <vector>

#include "foundation/handles.h"
#include "foundation/result.h"

class CPrivateAccess {
public:
    CPrivateAccess() = default;
    CPrivateAccess(const CPrivateAccess&) = delete;
    CPrivateAccess& operator=(const CPrivateAccess&) = delete;

    // Learns the process's user from its token and builds the descriptor:
    // a protected DACL (nothing inherited from the parent) granting full
    // control, inherited by files and folders inside, to the three
    // principals. Fails with the failing call's HRESULT and code 0.
    CResult Build();

    // For CreateDirectoryW / CreateFileW; valid after Build succeeded.
    SECURITY_ATTRIBUTES* attributes() { return &m_attributes; }

    // Whether the open `file` (opened with READ_CONTROL) is private: see
    // IsPrivateDescriptor. Code 0 on failure.
    CResult IsPrivate(HANDLE file, bool& isPrivate) const;

    // Whether the open `file` (opened with READ_CONTROL) belongs to the
    // process's user itself. Code 0 on failure.
    CResult IsOwnedByUser(HANDLE file, bool& owned) const;

    // Whether an object with this owner and access list is private: its
    // owner is one of the three principals, and its access list lets nobody
    // else write it, delete it or change its security (no access list at
    // all lets everyone). False before Build.
    bool IsPrivateDescriptor(PSECURITY_DESCRIPTOR descriptor) const;

private:
    bool IsTrusted(PSID sid) const;
    CResult ReadSecurity(HANDLE file, SECURITY_INFORMATION parts, LocalMemory& descriptor) const;
    bool LetsAnotherChange(const ACE_HEADER* header) const;

    std::vector<BYTE> m_user;           // TOKEN_USER, whose SID is the user
    std::vector<BYTE> m_system;         // SID S-1-5-18
    std::vector<BYTE> m_administrators; // SID S-1-5-32-544
    std::vector<BYTE> m_acl;
    SECURITY_DESCRIPTOR m_descriptor = {};
    SECURITY_ATTRIBUTES m_attributes = {};
};

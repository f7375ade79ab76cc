#include "pipe_security.h"

#include "heap_block.h"

CurrentUserSecurity::~CurrentUserSecurity()
{
    HeapFree(GetProcessHeap(), 0, tokenUser);
    HeapFree(GetProcessHeap(), 0, acl);
}

bool BuildCurrentUserSecurity(CurrentUserSecurity* security)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    security->tokenUser = size != 0 ? static_cast<BYTE*>(HeapAllocBytes(size)) : nullptr;
    bool ok = security->tokenUser != nullptr &&
              GetTokenInformation(token, TokenUser, security->tokenUser, size, &size);
    CloseHandle(token);
    if (!ok) {
        return false;
    }
    PSID sid = reinterpret_cast<TOKEN_USER*>(security->tokenUser)->User.Sid;
    DWORD aclSize = static_cast<DWORD>(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD)) +
                    GetLengthSid(sid);
    security->acl = static_cast<BYTE*>(HeapAllocBytes(aclSize));
    PACL acl = reinterpret_cast<PACL>(security->acl);
    ok = acl != nullptr && InitializeAcl(acl, aclSize, ACL_REVISION) &&
         AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, sid) &&
         InitializeSecurityDescriptor(&security->descriptor, SECURITY_DESCRIPTOR_REVISION) &&
         SetSecurityDescriptorOwner(&security->descriptor, sid, FALSE) &&
         SetSecurityDescriptorDacl(&security->descriptor, TRUE, acl, FALSE);
    if (!ok) {
        return false;
    }
    security->attributes.nLength = sizeof(SECURITY_ATTRIBUTES);
    security->attributes.lpSecurityDescriptor = &security->descriptor;
    security->attributes.bInheritHandle = FALSE;
    return true;
}

#include "pipe_server_user.h"

#include "caller_user.h"
#include "unique_resource.h"

namespace {

// A token's integrity label: the record and the SID it points into.
struct TokenLabelRecord {
    alignas(TOKEN_MANDATORY_LABEL) BYTE bytes[sizeof(TOKEN_MANDATORY_LABEL) + SECURITY_MAX_SID_SIZE];
    const SID* sid() const
    {
        return static_cast<const SID*>(reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(bytes)->Label.Sid);
    }
};

// The level is the label's last sub-authority (SECURITY_MANDATORY_*_RID).
// Read from the platform's SID record: two fields, no call that could fail.
bool AtLeastMedium(const SID* label)
{
    static const SID_IDENTIFIER_AUTHORITY kLabelAuthority = SECURITY_MANDATORY_LABEL_AUTHORITY;
    if (label == nullptr || label->SubAuthorityCount == 0 || label->SubAuthorityCount > SID_MAX_SUB_AUTHORITIES) {
        return false;
    }
    for (int i = 0; i < 6; ++i) {
        if (label->IdentifierAuthority.Value[i] != kLabelAuthority.Value[i]) {
            return false;
        }
    }
    return label->SubAuthority[label->SubAuthorityCount - 1] >= SECURITY_MANDATORY_MEDIUM_RID;
}

// The server's user, and whether it runs at medium integrity or above: a
// low-integrity (sandboxed) process of our user may create the pipe too.
bool ReadServer(HANDLE pipe, TokenUserRecord* user, bool* medium)
{
    ULONG pid = 0;
    if (!GetNamedPipeServerProcessId(pipe, &pid)) {
        return false;
    }
    const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) {
        return false;
    }
    UniqueHandle token;
    if (!OpenProcessToken(process.get(), TOKEN_QUERY, token.Put())) {
        token.Forget();
        return false;
    }
    TokenLabelRecord label;
    DWORD needed = 0;
    if (!ReadTokenUser(token.get(), user) ||
        !GetTokenInformation(token.get(), TokenIntegrityLevel, label.bytes, sizeof label.bytes, &needed)) {
        return false;
    }
    *medium = AtLeastMedium(label.sid());
    return true;
}

}  // namespace

bool PipeServerIsUser(HANDLE pipe, PSID user)
{
    TokenUserRecord server;
    bool medium = false;
    if (!ReadServer(pipe, &server, &medium) || !medium) {
        return false;
    }
    return EqualSid(user, server.sid()) != FALSE;
}

bool PipeServerIsCallersUser(HANDLE pipe)
{
    TokenUserRecord caller;
    return ReadCallerUser(&caller) && PipeServerIsUser(pipe, caller.sid());
}

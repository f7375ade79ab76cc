#include "pipe_server_user.h"

#include "unique_resource.h"

namespace {

// A token's user: the record and the SID it points into, in one fixed buffer.
struct TokenUserRecord {
    alignas(TOKEN_USER) BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    PSID sid() const { return reinterpret_cast<const TOKEN_USER*>(bytes)->User.Sid; }
};

bool ReadTokenUser(HANDLE token, TokenUserRecord* user)
{
    DWORD needed = 0;
    return GetTokenInformation(token, TokenUser, user->bytes, sizeof user->bytes, &needed) != FALSE;
}

bool CallerUser(TokenUserRecord* user)
{
    UniqueHandle token;
    // As self: an identification-level impersonation token can still be read.
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.Put())) {
        token.Forget();
        if (GetLastError() != ERROR_NO_TOKEN || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put())) {
            token.Forget();
            return false;
        }
    }
    return ReadTokenUser(token.get(), user);
}

bool ServerUser(HANDLE pipe, TokenUserRecord* user)
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
    return ReadTokenUser(token.get(), user);
}

}  // namespace

bool PipeServerIsCallersUser(HANDLE pipe)
{
    TokenUserRecord caller;
    TokenUserRecord server;
    if (!CallerUser(&caller) || !ServerUser(pipe, &server)) {
        return false;
    }
    return EqualSid(caller.sid(), server.sid()) != FALSE;
}

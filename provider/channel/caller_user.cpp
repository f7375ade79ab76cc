#include "caller_user.h"

#include "unique_resource.h"

bool ReadTokenUser(HANDLE token, TokenUserRecord* user)
{
    DWORD needed = 0;
    return GetTokenInformation(token, TokenUser, user->bytes, sizeof user->bytes, &needed) != FALSE;
}

bool ReadCallerUser(TokenUserRecord* user)
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

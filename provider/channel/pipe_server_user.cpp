#include "pipe_server_user.h"

namespace {

// A kernel handle closed on every path.
class OwnedHandle {
public:
    explicit OwnedHandle(HANDLE h) : h_(h) {}
    ~OwnedHandle()
    {
        if (h_ != nullptr) {
            CloseHandle(h_);
        }
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    HANDLE get() const { return h_; }

private:
    HANDLE h_ = nullptr;
};

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
    HANDLE raw = nullptr;
    // As self: an identification-level impersonation token can still be read.
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &raw)) {
        raw = nullptr;
        if (GetLastError() != ERROR_NO_TOKEN || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
            return false;
        }
    }
    OwnedHandle token(raw);
    return ReadTokenUser(token.get(), user);
}

bool ServerUser(HANDLE pipe, TokenUserRecord* user)
{
    ULONG pid = 0;
    if (!GetNamedPipeServerProcessId(pipe, &pid)) {
        return false;
    }
    OwnedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (process.get() == nullptr) {
        return false;
    }
    HANDLE raw = nullptr;
    if (!OpenProcessToken(process.get(), TOKEN_QUERY, &raw)) {
        return false;
    }
    OwnedHandle token(raw);
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

// Two users on one machine, each served by their own service; a server of
// another user on either name is refused before anything secret is sent.
// Wine runs every process as one user, so the second is stood in through
// the token queries: a serving core on a thread of this process that reads
// its user as the next SID, and the provider's caller and server reported
// as the test says.
#include "caller_user.h"
#include "data_root.h"
#include "import_patch.h"
#include "interposer.h"
#include "pipe_server.h"
#include "protocol.h"
#include "provider_loader.h"
#include "service_process.h"
#include "service_status.h"
#include "signing_burst.h"
#include "user_pipe_name.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <string>
#include <thread>

namespace {

// Adds `offset` to the last sub-authority: another user.
void NextUser(PSID sid, DWORD offset)
{
    *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1u) += offset;
}

thread_local bool t_secondUser = false;
decltype(&GetTokenInformation) g_serviceTokens = nullptr;
decltype(&CreateEventW) g_serviceEvents = nullptr;
HANDLE g_secondStop = nullptr;

BOOL WINAPI ServiceTokens(HANDLE token, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD size, PDWORD needed)
{
    const BOOL ok = g_serviceTokens(token, cls, info, size, needed);
    if (ok && t_secondUser && cls == TokenUser) {
        NextUser(static_cast<TOKEN_USER*>(info)->User.Sid, 1);
    }
    return ok;
}

// Wine checks the event's DACL (the second user's) on open: the test sets
// the handle the core made.
HANDLE WINAPI ServiceEvents(LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL initial, LPCWSTR name)
{
    HANDLE h = g_serviceEvents(sa, manual, initial, name);
    if (t_secondUser && name != nullptr && std::wcsncmp(name, L"Local\\ZentravaSigningService.Stop.", 34) == 0) {
        g_secondStop = h;
    }
    return h;
}

std::atomic<DWORD> g_caller{0};
std::atomic<DWORD> g_server{0};
std::atomic<HANDLE> g_serverToken{nullptr};
decltype(&OpenProcessToken) g_providerOpen = nullptr;
decltype(&GetTokenInformation) g_providerTokens = nullptr;

// The server's token is the one opened on a process handle, not our own.
BOOL WINAPI ProviderOpen(HANDLE process, DWORD access, PHANDLE token)
{
    const BOOL ok = g_providerOpen(process, access, token);
    if (ok && process != GetCurrentProcess()) {
        g_serverToken.store(*token);
    }
    return ok;
}

BOOL WINAPI ProviderTokens(HANDLE token, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD size, PDWORD needed)
{
    const BOOL ok = g_providerTokens(token, cls, info, size, needed);
    if (ok && cls == TokenUser) {
        NextUser(static_cast<TOKEN_USER*>(info)->User.Sid, token == g_serverToken.load() ? g_server : g_caller);
    }
    return ok;
}

// Made after any Interposer on the provider, so that it chains to it.
struct ProviderDisguise {
    ProviderDisguise(HMODULE dll, DWORD caller, DWORD server)
        : open(dll, "advapi32.dll", "OpenProcessToken", zt::Replacement(&OpenProcessToken, &ProviderOpen)),
          read(dll, "advapi32.dll", "GetTokenInformation", zt::Replacement(&GetTokenInformation, &ProviderTokens))
    {
        g_providerOpen = open.original_as<decltype(&OpenProcessToken)>();
        g_providerTokens = read.original_as<decltype(&GetTokenInformation)>();
        g_serverToken.store(nullptr);
        g_caller.store(caller);
        g_server.store(server);
    }
    zt::ImportPatch open;
    zt::ImportPatch read;
};

std::wstring UserPipeOf(DWORD offset)
{
    TokenUserRecord user;
    UserPipeName name;
    if (!ReadCallerUser(&user)) {
        return L"";
    }
    NextUser(user.sid(), offset);
    return FormatUserPipeName(user.sid(), &name) ? std::wstring(name.text, name.text + std::strlen(name.text)) : L"";
}

TEST(TwoUsers, EachReachesTheirOwnServiceAndNoServerOfAnotherUser)
{
    zt::TempDataRoot rootA;
    zt::TempDataRoot rootB;
    ASSERT_EQ(0u, zt::RunService(L"create alpha", rootA.widePath()).exitCode);
    ASSERT_EQ(0u, zt::RunService(L"create bravo", rootB.widePath()).exitCode);
    const std::wstring pipeA = UserPipeOf(0);
    const std::wstring pipeB = UserPipeOf(1);
    // The first user's service holds the machine-wide name too.
    zt::ServiceProcess serviceA;
    ASSERT_TRUE(serviceA.Start(rootA.widePath())) << serviceA.Output();
    EXPECT_NE(std::string::npos, serviceA.Output().find(" and \\\\.\\pipe\\ZentravaPipe with ")) << serviceA.Output();

    const HMODULE self = GetModuleHandleW(nullptr);
    zt::ImportPatch tokens(self, "advapi32.dll", "GetTokenInformation",
                           zt::Replacement(&GetTokenInformation, &ServiceTokens));
    zt::ImportPatch events(self, "kernel32.dll", "CreateEventW", zt::Replacement(&CreateEventW, &ServiceEvents));
    ASSERT_TRUE(tokens.active() && events.active());
    g_serviceTokens = tokens.original_as<decltype(&GetTokenInformation)>();
    g_serviceEvents = events.original_as<decltype(&CreateEventW)>();
    rootB.SetVariable(rootB.widePath());
    std::atomic<int> exitB{-1};
    std::thread coreB([&exitB] {
        t_secondUser = true;
        ServeOptions options;
        options.reserve = 8;
        exitB.store(Serve(options));
    });
    bool servedB = false;
    for (int i = 0; i < 250 && !servedB; Sleep(20), ++i) {
        servedB = WaitNamedPipeW(pipeB.c_str(), 20) != FALSE;
    }
    zt::LoadedProvider provider;
    ASSERT_TRUE(provider.ok());
    // {caller, server seen as, root, key, refused, pipe opens}: each user
    // with their own service; then a server of another user on the first
    // user's name, the second's, and the machine-wide one (a third user has
    // no service of their own, so gets there).
    const struct {
        DWORD caller;
        DWORD server;
        const zt::TempDataRoot* root;
        const wchar_t* key;
        bool refused;
        size_t opens;
    } cases[] = {{0, 0, &rootA, L"alpha", false, 1}, {1, 1, &rootB, L"bravo", false, 1},
                 {0, 1, &rootA, L"alpha", true, 1},  {1, 0, &rootB, L"bravo", true, 1},
                 {2, 0, &rootA, L"alpha", true, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE("caller " + std::to_string(c.caller) + ", server seen as " + std::to_string(c.server));
        if (!servedB) {
            break;
        }
        c.root->SetVariable(c.root->widePath());
        zt::Interposer spy(provider.module());
        const ProviderDisguise as(provider.module(), c.caller, c.server);
        const zt::BurstResult r = zt::RunSigningBurst(provider, c.key, 1, 2);
        EXPECT_EQ(c.refused, !r.Clean()) << r.Summary();
        if (c.refused) {
            EXPECT_EQ(c.opens, spy.CallCount(zt::Fn::CreateFileA));
            EXPECT_EQ(0u, spy.CallCount(zt::Fn::GetEnvironmentVariableW)) << "the secret was looked for";
            EXPECT_EQ(0u, spy.CallCount(zt::Fn::CreateFileW)) << "the secret file was opened";
        }
    }
    EXPECT_TRUE(serviceA.WaitForOutput("key=\"alpha\" outcome=ok", 2000));
    EXPECT_EQ(std::string::npos, serviceA.Output().find("bravo")) << "the second user reached the first's service";
    // The machine-wide name goes with the first user's service.
    EXPECT_TRUE(serviceA.Stop()) << serviceA.Output();
    EXPECT_FALSE(WaitNamedPipeW(kPipeNameW, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError()) << "the second user served it too";
    EXPECT_FALSE(WaitNamedPipeW(pipeA.c_str(), 0));
    EXPECT_TRUE(WaitNamedPipeW(pipeB.c_str(), 0));
    if (g_secondStop != nullptr) {
        SetEvent(g_secondStop);
    }
    coreB.join();
    EXPECT_TRUE(servedB) << "the second user's service did not serve its name";
    EXPECT_EQ(kExitOk, exitB.load());
}

}  // namespace

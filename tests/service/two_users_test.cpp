// Two users on one machine: each user's service serves its own pipe name
// and each user's provider reaches its own service; a server of another
// user on either name is refused before anything secret is sent. Wine runs
// every process as one user, so the second user is stood in through the
// token queries: a serving core in this process on a thread that reads
// its user as the next SID, and the provider's caller (and its view of the
// server) reported as the test says.
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
#include "unique_resource.h"
#include "user_pipe_name.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <string>
#include <thread>

namespace {

// Adds `offset` to a TOKEN_USER's last sub-authority: another user.
void Disguise(void* info, DWORD offset)
{
    PSID sid = static_cast<TOKEN_USER*>(info)->User.Sid;
    *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1u) += offset;
}

// ---- the service's side (this executable's imports) ----

thread_local bool t_secondUser = false;
decltype(&GetTokenInformation) g_serviceGetTokenInformation = nullptr;
decltype(&CreateEventW) g_serviceCreateEventW = nullptr;
HANDLE g_secondStop = nullptr;  // the second user's stop event, as its core made it

BOOL WINAPI ServiceGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD size,
                                       PDWORD needed)
{
    const BOOL ok = g_serviceGetTokenInformation(token, cls, info, size, needed);
    if (ok && t_secondUser && cls == TokenUser) {
        Disguise(info, 1);
    }
    return ok;
}

// Wine checks the event's DACL (the second user's SID) on open, so the test
// sets the handle the core made instead of opening it by name.
HANDLE WINAPI ServiceCreateEventW(LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL initial, LPCWSTR name)
{
    HANDLE h = g_serviceCreateEventW(sa, manual, initial, name);
    if (t_secondUser && name != nullptr && std::wcsncmp(name, L"Local\\ZentravaSigningService.Stop.", 34) == 0) {
        g_secondStop = h;
    }
    return h;
}

// ---- the provider's side (its imports) ----

std::atomic<DWORD> g_callerOffset{0};
std::atomic<DWORD> g_serverOffset{0};
decltype(&OpenProcessToken) g_providerOpenProcessToken = nullptr;
decltype(&GetTokenInformation) g_providerGetTokenInformation = nullptr;
std::atomic<HANDLE> g_serverToken{nullptr};

// The server's token is the one opened on a process handle, not on our own.
BOOL WINAPI ProviderOpenProcessToken(HANDLE process, DWORD access, PHANDLE token)
{
    const BOOL ok = g_providerOpenProcessToken(process, access, token);
    if (ok && process != GetCurrentProcess()) {
        g_serverToken.store(*token);
    }
    return ok;
}

BOOL WINAPI ProviderGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD size,
                                        PDWORD needed)
{
    const BOOL ok = g_providerGetTokenInformation(token, cls, info, size, needed);
    if (ok && cls == TokenUser) {
        Disguise(info, token == g_serverToken.load() ? g_serverOffset.load() : g_callerOffset.load());
    }
    return ok;
}

// Installed after any Interposer on the provider, so that it chains to it.
class ProviderDisguise {
public:
    ProviderDisguise(HMODULE module, DWORD caller, DWORD server)
        : openToken_(module, "advapi32.dll", "OpenProcessToken",
                     zt::Replacement(&OpenProcessToken, &ProviderOpenProcessToken)),
          readToken_(module, "advapi32.dll", "GetTokenInformation",
                     zt::Replacement(&GetTokenInformation, &ProviderGetTokenInformation))
    {
        g_providerOpenProcessToken = openToken_.original_as<decltype(&OpenProcessToken)>();
        g_providerGetTokenInformation = readToken_.original_as<decltype(&GetTokenInformation)>();
        g_serverToken.store(nullptr);
        g_callerOffset.store(caller);
        g_serverOffset.store(server);
    }
    ~ProviderDisguise()
    {
        g_callerOffset.store(0);
        g_serverOffset.store(0);
    }
    bool active() const { return openToken_.active() && readToken_.active(); }

private:
    zt::ImportPatch openToken_;
    zt::ImportPatch readToken_;
};

std::wstring UserPipeOf(DWORD offset)
{
    TokenUserRecord user;
    UserPipeName name;
    if (!ReadCallerUser(&user)) {
        return L"";
    }
    *GetSidSubAuthority(user.sid(), *GetSidSubAuthorityCount(user.sid()) - 1u) += offset;
    if (!FormatUserPipeName(user.sid(), &name)) {
        return L"";
    }
    return std::wstring(name.text, name.text + std::strlen(name.text));
}

bool NameServed(const std::wstring& name)
{
    for (int i = 0; i < 250; ++i) {
        if (WaitNamedPipeW(name.c_str(), 20)) {
            return true;
        }
        Sleep(20);
    }
    return false;
}

TEST(TwoUsers, EachReachesTheirOwnServiceAndNoServerOfAnotherUser)
{
    zt::TempDataRoot rootA;
    zt::TempDataRoot rootB;
    ASSERT_TRUE(rootA.ok() && rootB.ok());
    ASSERT_EQ(0u, zt::RunService(L"create alpha", rootA.widePath()).exitCode);
    ASSERT_EQ(0u, zt::RunService(L"create bravo", rootB.widePath()).exitCode);
    const std::wstring pipeA = UserPipeOf(0);
    const std::wstring pipeB = UserPipeOf(1);
    ASSERT_FALSE(pipeA.empty() || pipeB.empty());

    // The first user's service, first: it holds the machine-wide name too.
    zt::ServiceProcess serviceA;
    ASSERT_TRUE(serviceA.Start(rootA.widePath())) << serviceA.Output();
    EXPECT_NE(std::string::npos, serviceA.Output().find(" and \\\\.\\pipe\\ZentravaPipe with ")) << serviceA.Output();

    // The second user's, in this process: its own name only.
    const HMODULE self = GetModuleHandleW(nullptr);
    zt::ImportPatch serviceTokens(self, "advapi32.dll", "GetTokenInformation",
                                  zt::Replacement(&GetTokenInformation, &ServiceGetTokenInformation));
    zt::ImportPatch serviceEvents(self, "kernel32.dll", "CreateEventW",
                                  zt::Replacement(&CreateEventW, &ServiceCreateEventW));
    ASSERT_TRUE(serviceTokens.active() && serviceEvents.active());
    g_serviceGetTokenInformation = serviceTokens.original_as<decltype(&GetTokenInformation)>();
    g_serviceCreateEventW = serviceEvents.original_as<decltype(&CreateEventW)>();
    g_secondStop = nullptr;
    rootB.SetVariable(rootB.widePath());
    std::atomic<int> exitB{-1};
    std::thread coreB([&exitB] {
        t_secondUser = true;
        ServeOptions options;
        options.reserve = 8;
        exitB.store(Serve(options));
    });
    const bool servedB = NameServed(pipeB);

    zt::LoadedProvider provider;
    ASSERT_TRUE(provider.ok());
    if (servedB) {
        EXPECT_TRUE(NameServed(pipeA));
        // Each user, and the server seen as that user: served by their own
        // service, which alone has their key and their secret.
        const struct {
            const char* who;
            DWORD user;
            const zt::TempDataRoot* root;
            const wchar_t* key;
        } users[] = {{"first user", 0, &rootA, L"alpha"}, {"second user", 1, &rootB, L"bravo"}};
        for (const auto& u : users) {
            SCOPED_TRACE(u.who);
            u.root->SetVariable(u.root->widePath());
            const ProviderDisguise as(provider.module(), u.user, u.user);
            ASSERT_TRUE(as.active());
            const zt::BurstResult r = zt::RunSigningBurst(provider, u.key, 2, 2);
            EXPECT_TRUE(r.Clean()) << r.Summary();
        }
        EXPECT_TRUE(serviceA.WaitForOutput("key=\"alpha\" outcome=ok", 2000));
        EXPECT_EQ(std::string::npos, serviceA.Output().find("bravo")) << "the second user reached the first's service";

        // A server of another user: on the first user's name, on the
        // second's, and on the machine-wide name (a third user has no
        // service of their own, so gets there).
        const struct {
            const char* where;
            DWORD caller;
            DWORD server;
            const zt::TempDataRoot* root;
            const wchar_t* key;
            size_t opens;  // pipe opens per exchange
        } impostors[] = {{"the first user's name", 0, 1, &rootA, L"alpha", 1},
                         {"the second user's name", 1, 0, &rootB, L"bravo", 1},
                         {"the machine-wide name", 2, 0, &rootA, L"alpha", 2}};
        for (const auto& i : impostors) {
            SCOPED_TRACE(i.where);
            i.root->SetVariable(i.root->widePath());
            zt::Interposer spy(provider.module());
            const ProviderDisguise as(provider.module(), i.caller, i.server);
            ASSERT_TRUE(as.active());
            const zt::BurstResult r = zt::RunSigningBurst(provider, i.key, 1, 1);
            EXPECT_EQ(1u, r.openFailures) << r.Summary();
            EXPECT_EQ(i.opens, spy.CallCount(zt::Fn::CreateFileA));
            // The secret is loaded only after the server passed.
            EXPECT_EQ(0u, spy.CallCount(zt::Fn::GetEnvironmentVariableW)) << "the secret was looked for";
            EXPECT_EQ(0u, spy.CallCount(zt::Fn::CreateFileW)) << "the secret file was opened";
        }
    }

    // The machine-wide name was the first user's alone: it goes with that
    // service while the second still serves its own.
    EXPECT_TRUE(serviceA.Stop()) << serviceA.Output();
    EXPECT_FALSE(WaitNamedPipeW(pipeA.c_str(), 0));
    EXPECT_FALSE(WaitNamedPipeW(kPipeNameW, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError()) << "the second user served the machine-wide name";
    EXPECT_TRUE(WaitNamedPipeW(pipeB.c_str(), 0));
    if (g_secondStop != nullptr) {
        SetEvent(g_secondStop);
    }
    coreB.join();
    EXPECT_TRUE(servedB) << "the second user's service did not serve its name";
    EXPECT_EQ(kExitOk, exitB.load());
    EXPECT_FALSE(WaitNamedPipeW(pipeB.c_str(), 0));
}

}  // namespace

// The serving core's shared state, seen by the core (serving_core.cpp) and
// by the connections (connection.cpp). Lock order: core lock before a
// connection's lock; nobody takes the core lock while holding a connection's.
#pragma once

#include "serve_options.h"
#include "server_exchange.h"
#include "unique_resource.h"

#include <windows.h>

#include <map>
#include <string>

struct Connection;

struct ServingCore {
    ServeOptions options;
    ServerState* state = nullptr;
    SECURITY_ATTRIBUTES* security = nullptr;
    DWORD workers = 0;
    DWORD ioThreads = 0;

    // Released in reverse: timer, then every callback of both groups, then the pools.
    UniqueThreadpool ioPool;
    UniqueThreadpool workPool;
    TP_CALLBACK_ENVIRON ioEnv{};
    TP_CALLBACK_ENVIRON workEnv{};
    UniqueThreadpoolCleanupGroup ioGroup;
    UniqueThreadpoolCleanupGroup workGroup;
    UniqueThreadpoolTimer sweep;

    SRWLOCK lock = SRWLOCK_INIT;     // guards everything below
    Connection* first = nullptr;     // every instance, listening or serving
    Connection* retired = nullptr;   // closed instances whose I/O objects wait to be released
    DWORD listening = 0;             // instances with a listen pending
    DWORD creating = 0;              // instances being made right now
    DWORD serving = 0;               // instances with a client
    std::map<DWORD, DWORD> perClient;  // connections per client process id
    bool stopping = false;
    ULONGLONG unlistenedSince = 0;   // when the last listening instance went; 0 while one listens
    DWORD lastCreateError = 0;

    UniqueHandle idle;    // set once stopping, no instance is left and none is being made
    UniqueHandle failed;  // set when no instance can be kept listening
    std::string failure;  // the message for it
};

// Nothing left to wait for once stopping: no instance linked and none being
// made (one being made is refused when it comes). Called with the core lock held.
inline bool IdleLocked(const ServingCore* core)
{
    return core->stopping && core->first == nullptr && core->creating == 0;
}

// How long the core goes on without any listening instance, making new
// ones every sweep, before it gives up and reports it.
constexpr DWORD kUnlistenedGiveUpMs = 2000;
constexpr DWORD kSweepIntervalMs = 100;

// Keeps `reserve` instances listening (fewer if making them fails; the
// sweep tries again). True if none was missing or all could be made.
bool RefillReserve(ServingCore* core);

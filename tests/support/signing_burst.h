// Many threads signing at once through the provider, as a parallel build
// does: every thread opens the key (its first exchange), waits for the
// common start, then signs its hashes one after another. Every signature is
// verified with BCrypt against the key's public blob. Used by the load
// suites (in process and in child processes, signing_probe.exe).
#pragma once

#include "provider_loader.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>

namespace zt {

struct BurstResult {
    uint64_t opens = 0;           // OpenKey calls
    uint64_t openFailures = 0;
    uint64_t signatures = 0;      // SignHash calls
    uint64_t signFailures = 0;
    uint64_t wrongSignatures = 0;  // succeeded, but did not verify
    std::map<uint32_t, uint64_t> statuses;  // every failing status and how often
    // One line: "opens=.. open-failures=.. signatures=.. sign-failures=.. wrong=.."
    std::string Summary() const;
    bool Clean() const { return openFailures == 0 && signFailures == 0 && wrongSignatures == 0; }
};

// `threads` threads each open `key` and sign `signsPerThread` random SHA-256
// hashes (PKCS#1 v1.5). All start together once every thread has its key
// (or failed to open it). `start`, if given, is waited for first, so that
// several processes can start at one signal.
BurstResult RunSigningBurst(const LoadedProvider& provider, const std::wstring& key, unsigned threads,
                            unsigned signsPerThread, HANDLE start = nullptr);

}  // namespace zt

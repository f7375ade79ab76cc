// Shared pieces of the robustness suites: the status mapping as callers must
// apply it, guarded output buffers, per-run hygiene checks through the
// interposer, and a signing service with keys on a private data root.
#pragma once

#include "data_root.h"
#include "interposer.h"
#include "public_key_check.h"
#include "service_process.h"
#include "service_with_keys.h"

#include <windows.h>
#include <ncrypt.h>  // SECURITY_STATUS

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zt {

// BCrypt status -> provider status, the provider's fixed translation table.
SECURITY_STATUS ExpectedMapping(LONG ntstatus);

// The NTSTATUS an injected BCrypt failure reports in run `n` of a sweep; the
// runs cycle through statuses that map to different provider statuses.
LONG InjectedStatus(uint64_t n);

// A plausible last error for an injected failure of `fn`.
DWORD PlausibleLastError(Fn fn, uint64_t n);

// Calls that release something: a failure of these must not fail the
// operation it belongs to, and nothing may leak because of it.
bool IsReleaseCall(Fn fn);
bool IsBCryptCall(Fn fn);

// An output buffer with guard bytes on both sides, all filled with a pattern.
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t size, size_t guard = 64);
    BYTE* data() { return size_ == 0 ? nullptr : bytes_.data() + guard_; }
    size_t size() const { return size_; }
    // Guards still hold the pattern.
    bool GuardsIntact() const;
    // Nothing at all was written.
    bool Untouched() const;
    std::vector<BYTE> Contents(size_t n) const;
    void Refill();

private:
    size_t size_;
    size_t guard_;
    std::vector<BYTE> bytes_;
};

constexpr BYTE kGuardPattern = 0xA5;
constexpr DWORD kResultSentinel = 0xC0FFEE11;

// What one run left behind, read from the interposer: blocks, unwiped frees,
// open handles. Empty string when clean.
std::string HygieneProblems(const Interposer& spy, size_t allowedLiveBlocks = 0);

// Bytes of a file, or empty with *exists false.
std::vector<BYTE> ReadWholeFile(const std::string& path, bool* exists);

std::vector<BYTE> Sha256(const std::string& data);

}  // namespace zt

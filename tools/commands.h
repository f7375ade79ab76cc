// The tool's commands. Each returns the process exit status: 0 when every
// step worked, 1 when one failed (already reported).
#pragma once

#include "provider_access.h"
#include "tool_args.h"

namespace zkt {

int RunProviderCommand(const ToolOptions& options);
int RunKeyCommand(const ToolOptions& options);
int RunSignCommand(const ToolOptions& options);
int RunVerifyCommand(const ToolOptions& options);
int RunEncryptCommand(const ToolOptions& options);
int RunDecryptCommand(const ToolOptions& options);
int RunExportCommand(const ToolOptions& options);
// Command-line errors found late (a subject string crypt32 cannot read)
// give 2 here as well.
int RunRequestCommand(const ToolOptions& options);
int RunSelfSignCommand(const ToolOptions& options);
int RunLinkCertCommand(const ToolOptions& options);
int RunUnlinkCertCommand(const ToolOptions& options);
int RunCertsCommand(const ToolOptions& options);

// Shared by the commands: opens the provider (and sets "Use Context" when
// asked), then opens the named key.
bool OpenToolSession(const ToolOptions& options, ProviderSession& session);
bool OpenToolKey(const ToolOptions& options, ProviderSession& session, OpenedKey& key);

// Reads a 32-bit key property such as "Block Length".
bool ReadKeyDword(OpenedKey& key, const wchar_t* name, DWORD& value);
// A command's key with its "Block Length": the modulus length, which is a
// signature's length and a ciphertext's.
struct KeyWithBlock {
    ProviderSession session;
    OpenedKey key;  // released before its session
    DWORD blockLength = 0;
};
// OpenToolKey, then the key's "Block Length".
bool OpenToolKeyBlock(const ToolOptions& options, KeyWithBlock& opened);

std::string HexString(const std::vector<uint8_t>& bytes);

}  // namespace zkt

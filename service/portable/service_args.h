// Command line of ZentravaSigningService.exe: parsed into one record, no side
// effects. Arguments and the record's text are UTF-16 (the Windows command
// line's own units); the Windows layer (command_line.h) converts and applies
// the serving defaults.
#pragma once

#include <cstdint>
#include <span>
#include <string>

enum class Command { Help, Create, List, Delete, Import, Serve, Stop };

// Bounds of the numeric options (the usage text states them).
constexpr std::uint32_t kMaxServeReserve = 4096;
constexpr std::uint32_t kMaxServeWorkers = 64;
constexpr std::uint32_t kMaxServePerClient = 65536;
constexpr std::uint32_t kDefaultKeyBits = 2048;

// The sizes "create --bits" offers.
bool IsSupportedKeyBits(std::uint32_t bits);

struct ServiceArguments {
    Command command = Command::Help;
    std::u16string keyName;       // create, delete, import
    std::u16string keyFile;       // import: the key brought from elsewhere
    std::u16string passwordFile;  // import: the PFX password's file
    std::u16string certOut;       // import: where a PFX's certificate goes
    std::uint32_t bits = kDefaultKeyBits;  // create
    // serve; 0: not given (the service's default)
    std::uint32_t reserve = 0;
    std::uint32_t workers = 0;
    std::uint32_t perClientLimit = 0;
    std::u16string logFile;
    std::u16string dataRoot;  // stands in for LOCALAPPDATA when set
};

struct ParsedServiceArguments {
    bool ok = false;
    std::string error;  // why, when !ok (empty for no arguments at all: help)
    ServiceArguments arguments;
};

// args excludes the program name.
ParsedServiceArguments ParseServiceArguments(std::span<const std::u16string> args);

// The text printed by help and after a usage error.
const char* ServiceUsageText();

#include "command_line.h"

#include "key_name.h"
#include "rsa_key.h"

#include <cwchar>

const char kUsage[] =
    "usage:\n"
    "  ZentravaSigningService create <name> [--bits 2048|3072|4096] [--data-root <dir>]\n"
    "  ZentravaSigningService list [--data-root <dir>]\n"
    "  ZentravaSigningService delete <name> [--data-root <dir>]\n"
    "  ZentravaSigningService import <name> <key-file> [--password-file <file>] [--cert-out <file>]\n"
    "                                [--data-root <dir>]\n"
    "  ZentravaSigningService serve [--instances <1-4096>] [--workers <1-64>] [--per-client <1-65536>]\n"
    "                               [--log-file <file>] [--data-root <dir>]\n"
    "  ZentravaSigningService stop\n"
    "  ZentravaSigningService help\n"
    "\n"
    "Keys live in %LOCALAPPDATA%\\Zentrava\\keys, protected for the current user;\n"
    "--data-root <dir> uses <dir> in place of %LOCALAPPDATA% (keys and pipe secret).\n"
    "import takes an RSA key of 2048 bits or more: PKCS#8 (PEM or DER, unencrypted),\n"
    "PEM \"RSA PRIVATE KEY\", or PKCS#12/PFX, whose password comes from --password-file\n"
    "or is asked for on the console; --cert-out writes a PFX's certificate (PEM).\n"
    "serve answers on \\\\.\\pipe\\ZentravaPipe until Ctrl+C or \"stop\". --instances: pipe instances kept\n"
    "listening (2048); --workers: threads for private-key work (one per processor); --per-client:\n"
    "connections one client process may hold at once (1024); --log-file: the exchange log is\n"
    "appended to <file> instead of printed.\n";

namespace {

bool ParseNumber(const wchar_t* text, unsigned long* out)
{
    if (text == nullptr || *text < L'0' || *text > L'9') {
        return false;
    }
    wchar_t* end = nullptr;
    unsigned long v = std::wcstoul(text, &end, 10);
    if (end == nullptr || *end != L'\0' || v > 0xFFFFFFUL) {
        return false;
    }
    *out = v;
    return true;
}

bool CommandFromWord(const std::wstring& word, Command* out)
{
    static const struct {
        const wchar_t* word;
        Command command;
    } kCommands[] = {{L"create", Command::Create}, {L"list", Command::List},
                     {L"delete", Command::Delete}, {L"import", Command::Import},
                     {L"serve", Command::Serve},
                     {L"stop", Command::Stop},     {L"help", Command::Help},
                     {L"--help", Command::Help},   {L"-h", Command::Help},
                     {L"/?", Command::Help}};
    for (const auto& c : kCommands) {
        if (word == c.word) {
            *out = c.command;
            return true;
        }
    }
    return false;
}

}  // namespace

bool ParseCommandLine(int argc, const wchar_t* const* argv, CommandLine* out, std::string* error)
{
    *out = CommandLine{};
    bool haveCommand = false;
    bool haveName = false;
    bool haveFile = false;
    bool haveBits = false;
    bool haveImportOptions = false;
    bool haveInstances = false;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long number = 0;
        if (arg == L"--bits") {
            if (!ParseNumber(value, &number) || !IsSupportedKeyBits(number)) {
                *error = "--bits takes 2048, 3072 or 4096";
                return false;
            }
            out->bits = number;
            haveBits = true;
            ++i;
        } else if (arg == L"--instances" || arg == L"--workers" || arg == L"--per-client") {
            const DWORD most = arg == L"--instances" ? kMaxReserve : arg == L"--workers" ? kMaxWorkers
                                                                                        : kMaxPerClientLimit;
            if (!ParseNumber(value, &number) || number < 1 || number > most) {
                *error = "--instances, --workers and --per-client take a count from 1 to 4096, 64 and 65536";
                return false;
            }
            DWORD* field = arg == L"--instances" ? &out->serve.reserve
                           : arg == L"--workers" ? &out->serve.workers
                                                 : &out->serve.perClientLimit;
            *field = number;
            haveInstances = true;
            ++i;
        } else if (arg == L"--log-file") {
            if (value == nullptr || *value == L'\0') {
                *error = "--log-file takes a file";
                return false;
            }
            out->serve.logFile = value;
            haveInstances = true;
            ++i;
        } else if (arg == L"--data-root") {
            if (value == nullptr || *value == L'\0') {
                *error = "--data-root takes a folder";
                return false;
            }
            out->dataRoot = value;
            ++i;
        } else if (arg == L"--password-file" || arg == L"--cert-out") {
            if (value == nullptr || *value == L'\0') {
                *error = arg == L"--cert-out" ? "--cert-out takes a file" : "--password-file takes a file";
                return false;
            }
            (arg == L"--cert-out" ? out->certOut : out->passwordFile) = value;
            haveImportOptions = true;
            ++i;
        } else if (!haveCommand && arg.size() > 0 && CommandFromWord(arg, &out->command)) {
            haveCommand = true;
        } else if (haveCommand && haveName && !haveFile && out->command == Command::Import) {
            out->keyFile = arg;
            haveFile = true;
        } else if (haveCommand && !haveName &&
                   (out->command == Command::Create || out->command == Command::Delete ||
                    out->command == Command::Import)) {
            if (!IsValidKeyName(arg)) {
                *error = "a key name has 1 to 129 characters";
                return false;
            }
            out->keyName = arg;
            haveName = true;
        } else {
            *error = "unexpected argument";
            return false;
        }
    }
    if (!haveCommand) {
        *error = argc > 1 ? "no command given" : "";
        return argc <= 1;
    }
    if ((out->command == Command::Create || out->command == Command::Delete || out->command == Command::Import) &&
        !haveName) {
        *error = "the command needs a key name";
        return false;
    }
    if (out->command == Command::Import && !haveFile) {
        *error = "import needs the key's file after its name";
        return false;
    }
    if ((haveBits && out->command != Command::Create) ||
        (haveInstances && out->command != Command::Serve) ||
        (haveImportOptions && out->command != Command::Import)) {
        *error = "option does not apply to this command";
        return false;
    }
    return true;
}

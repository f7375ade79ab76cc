#include "tool_args.h"

#include <cwctype>

namespace zkt {
namespace {

struct CommandEntry {
    const wchar_t* name;
    Command command;
    size_t positionals;
    const wchar_t* positionalNames;  // for the error message
    bool takesHash;                  // --hash and --pss
    bool takesFormat;                // --format
};

constexpr CommandEntry kCommands[] = {
    {L"help", Command::Help, 0, L"", false, false},
    {L"provider", Command::Provider, 0, L"", false, false},
    {L"key", Command::Key, 1, L"<key-name>", false, false},
    {L"sign", Command::Sign, 3, L"<key-name> <input-file> <signature-file>", true, false},
    {L"verify", Command::Verify, 3, L"<key-name> <input-file> <signature-file>", true, false},
    {L"encrypt", Command::Encrypt, 3, L"<key-name> <input-file> <output-file>", false, false},
    {L"decrypt", Command::Decrypt, 3, L"<key-name> <input-file> <output-file>", false, false},
    {L"export", Command::Export, 2, L"<key-name> <output-file>", false, true},
};

std::wstring Upper(std::wstring s)
{
    for (wchar_t& c : s) {
        c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    }
    return s;
}

bool ParseHash(const std::wstring& text, HashAlgorithm& hash)
{
    std::wstring name = Upper(text);
    if (name.size() > 4 && name.compare(0, 4, L"SHA-") == 0) {
        name.erase(3, 1);
    }
    if (name == L"SHA1") { hash = HashAlgorithm::Sha1; return true; }
    if (name == L"SHA256") { hash = HashAlgorithm::Sha256; return true; }
    if (name == L"SHA384") { hash = HashAlgorithm::Sha384; return true; }
    if (name == L"SHA512") { hash = HashAlgorithm::Sha512; return true; }
    return false;
}

ParsedArguments Fail(std::wstring message)
{
    ParsedArguments result;
    result.error = std::move(message);
    return result;
}

}  // namespace

ParsedArguments ParseToolArguments(const std::vector<std::wstring>& args)
{
    ParsedArguments result;
    ToolOptions& o = result.options;
    const CommandEntry* entry = nullptr;
    std::vector<std::wstring> positionals;
    bool wantsHelp = false;
    bool hashGiven = false, pssGiven = false, formatGiven = false, dllGiven = false;

    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& arg = args[i];
        if (arg.size() < 2 || arg[0] != L'-' || arg == L"-") {
            if (entry == nullptr) {
                for (const CommandEntry& candidate : kCommands) {
                    if (arg == candidate.name) {
                        entry = &candidate;
                    }
                }
                if (entry == nullptr) {
                    return Fail(L"unknown command '" + arg + L"'");
                }
            } else {
                positionals.push_back(arg);
            }
            continue;
        }
        // "--name value" or "--name=value".
        std::wstring name = arg;
        std::wstring value;
        bool hasInlineValue = false;
        const size_t eq = arg.find(L'=');
        if (eq != std::wstring::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasInlineValue = true;
        }
        const bool needsValue =
            name == L"--dll" || name == L"--use-context" || name == L"--hash" || name == L"--format";
        if (needsValue && !hasInlineValue) {
            if (i + 1 >= args.size()) {
                return Fail(L"option " + name + L" needs a value");
            }
            value = args[++i];
        } else if (!needsValue && hasInlineValue) {
            return Fail(L"option " + name + L" takes no value");
        }

        if (name == L"--help" || name == L"-h") {
            wantsHelp = true;
        } else if (name == L"--ncrypt") {
            o.viaNcrypt = true;
        } else if (name == L"--dll") {
            if (value.empty()) {
                return Fail(L"option --dll needs a path");
            }
            o.dllPath = value;
            dllGiven = true;
        } else if (name == L"--use-context") {
            o.setUseContext = true;
            o.useContext = value;
        } else if (name == L"--hash") {
            if (!ParseHash(value, o.hash)) {
                return Fail(L"unknown hash algorithm '" + value + L"' (use SHA1, SHA256, SHA384 or SHA512)");
            }
            hashGiven = true;
        } else if (name == L"--pss") {
            o.padding = SignaturePadding::Pss;
            pssGiven = true;
        } else if (name == L"--format") {
            const std::wstring format = Upper(value);
            if (format == L"PEM") {
                o.format = ExportFormat::Pem;
            } else if (format == L"BLOB") {
                o.format = ExportFormat::Blob;
            } else {
                return Fail(L"unknown export format '" + value + L"' (use pem or blob)");
            }
            formatGiven = true;
        } else {
            return Fail(L"unknown option " + name);
        }
    }

    if (wantsHelp) {
        result.ok = true;
        o.command = Command::Help;
        return result;
    }
    if (entry == nullptr) {
        return Fail(L"no command given");
    }
    o.command = entry->command;
    const std::wstring cmd = entry->name;
    if (o.viaNcrypt && dllGiven) {
        return Fail(L"--dll and --ncrypt exclude each other");
    }
    if ((hashGiven || pssGiven) && !entry->takesHash) {
        return Fail(std::wstring(hashGiven ? L"--hash" : L"--pss") + L" does not apply to '" + cmd + L"'");
    }
    if (formatGiven && !entry->takesFormat) {
        return Fail(L"--format does not apply to '" + cmd + L"'");
    }
    if (positionals.size() != entry->positionals) {
        std::wstring usage = L"'" + cmd + L"' takes ";
        usage += entry->positionals == 0 ? std::wstring(L"no arguments") : std::wstring(entry->positionalNames);
        return Fail(usage);
    }
    if (entry->positionals >= 1) {
        o.keyName = positionals[0];
    }
    switch (o.command) {
    case Command::Sign:
    case Command::Encrypt:
    case Command::Decrypt:
        o.inputPath = positionals[1];
        o.outputPath = positionals[2];
        break;
    case Command::Verify:
        o.inputPath = positionals[1];
        o.signaturePath = positionals[2];
        break;
    case Command::Export:
        o.outputPath = positionals[1];
        if (o.outputPath == L"-" && o.format == ExportFormat::Blob) {
            return Fail(L"a raw blob cannot go to standard output; give a file");
        }
        break;
    default:
        break;
    }
    if (o.command != Command::Export) {
        for (const std::wstring* path : {&o.inputPath, &o.outputPath, &o.signaturePath}) {
            if (*path == L"-") {
                return Fail(L"'-' (standard output) is accepted only by 'export'");
            }
        }
    }
    result.ok = true;
    return result;
}

const wchar_t* HashAlgorithmId(HashAlgorithm hash)
{
    switch (hash) {
    case HashAlgorithm::Sha1: return L"SHA1";
    case HashAlgorithm::Sha256: return L"SHA256";
    case HashAlgorithm::Sha384: return L"SHA384";
    case HashAlgorithm::Sha512: return L"SHA512";
    }
    return L"SHA256";
}

DWORD HashDigestSize(HashAlgorithm hash)
{
    switch (hash) {
    case HashAlgorithm::Sha1: return 20;
    case HashAlgorithm::Sha256: return 32;
    case HashAlgorithm::Sha384: return 48;
    case HashAlgorithm::Sha512: return 64;
    }
    return 32;
}

}  // namespace zkt

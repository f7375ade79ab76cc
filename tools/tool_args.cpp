#include "tool_args.h"

#include <cwctype>

namespace zkt {
namespace {

// Option groups a command accepts.
enum OptionGroup : unsigned {
    kHashOptions = 1,       // --hash, --pss
    kFormatOption = 2,      // --format
    kNameOptions = 4,       // --subject, --dns
    kCertificateOptions = 8,  // --days, --code-signing, --client-auth, --server-auth
    kStoreOption = 16,      // --store
};

struct CommandEntry {
    const wchar_t* name;
    Command command;
    size_t positionals;
    const wchar_t* positionalNames;  // for the error message
    unsigned options;                // OptionGroup bits
};

constexpr CommandEntry kCommands[] = {
    {L"help", Command::Help, 0, L"", 0},
    {L"provider", Command::Provider, 0, L"", 0},
    {L"key", Command::Key, 1, L"<key-name>", 0},
    {L"sign", Command::Sign, 3, L"<key-name> <input-file> <signature-file>", kHashOptions},
    {L"verify", Command::Verify, 3, L"<key-name> <input-file> <signature-file>", kHashOptions},
    {L"encrypt", Command::Encrypt, 3, L"<key-name> <input-file> <output-file>", 0},
    {L"decrypt", Command::Decrypt, 3, L"<key-name> <input-file> <output-file>", 0},
    {L"export", Command::Export, 2, L"<key-name> <output-file>", kFormatOption},
    {L"csr", Command::Request, 2, L"<key-name> <output-file>", kHashOptions | kFormatOption | kNameOptions},
    {L"selfsign", Command::SelfSign, 2, L"<key-name> <output-file>",
     kHashOptions | kFormatOption | kNameOptions | kCertificateOptions},
    {L"link-cert", Command::LinkCert, 2, L"<key-name> <certificate-file>", kStoreOption},
    {L"unlink-cert", Command::UnlinkCert, 2, L"<key-name> <certificate-file|thumbprint>", kStoreOption},
    {L"certs", Command::Certs, 0, L"", kStoreOption},
};

// Options that take a value, and the group each belongs to (0: any command).
struct OptionEntry {
    const wchar_t* name;
    bool takesValue;
    unsigned group;
};

constexpr OptionEntry kOptions[] = {
    {L"--help", false, 0},          {L"-h", false, 0},
    {L"--ncrypt", false, 0},        {L"--dll", true, 0},
    {L"--use-context", true, 0},    {L"--hash", true, kHashOptions},
    {L"--pss", false, kHashOptions}, {L"--format", true, kFormatOption},
    {L"--subject", true, kNameOptions}, {L"--dns", true, kNameOptions},
    {L"--days", true, kCertificateOptions}, {L"--code-signing", false, kCertificateOptions},
    {L"--client-auth", false, kCertificateOptions}, {L"--server-auth", false, kCertificateOptions},
    {L"--store", true, kStoreOption},
};

constexpr DWORD kMaxDays = 36500;

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

bool ParseDays(const std::wstring& text, DWORD& days)
{
    if (text.empty() || text.size() > 5) {
        return false;
    }
    DWORD value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') {
            return false;
        }
        value = value * 10 + static_cast<DWORD>(c - L'0');
    }
    if (value < 1 || value > kMaxDays) {
        return false;
    }
    days = value;
    return true;
}

// A host name as a subject alternative name carries it: ASCII labels of
// letters, digits and '-', an optional leading "*." for a wildcard.
bool IsDnsName(const std::wstring& name)
{
    std::wstring rest = name;
    if (rest.size() > 2 && rest.compare(0, 2, L"*.") == 0) {
        rest.erase(0, 2);
    }
    if (rest.empty() || rest.size() > 253 || rest.front() == L'.' || rest.back() == L'.') {
        return false;
    }
    size_t label = 0;
    for (size_t i = 0; i < rest.size(); ++i) {
        const wchar_t c = rest[i];
        if (c == L'.') {
            if (label == 0 || rest[i - 1] == L'-') {
                return false;
            }
            label = 0;
            continue;
        }
        const bool letterOrDigit = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9');
        if (!letterOrDigit && !(c == L'-' && label > 0)) {
            return false;
        }
        if (++label > 63) {
            return false;
        }
    }
    return rest.back() != L'-';
}

bool ParseFormat(const std::wstring& value, Command command, ExportFormat& format, std::wstring& error)
{
    const std::wstring upper = Upper(value);
    if (command == Command::Export) {
        if (upper == L"PEM" || upper == L"BLOB") {
            format = upper == L"PEM" ? ExportFormat::Pem : ExportFormat::Blob;
            return true;
        }
        error = L"unknown export format '" + value + L"' (use pem or blob)";
        return false;
    }
    if (upper == L"PEM" || upper == L"DER") {
        format = upper == L"PEM" ? ExportFormat::Pem : ExportFormat::Der;
        return true;
    }
    error = L"unknown output format '" + value + L"' (use pem or der)";
    return false;
}

ParsedArguments Fail(std::wstring message)
{
    ParsedArguments result;
    result.error = std::move(message);
    return result;
}

const OptionEntry* FindOption(const std::wstring& name)
{
    for (const OptionEntry& option : kOptions) {
        if (name == option.name) {
            return &option;
        }
    }
    return nullptr;
}

}  // namespace

bool IsThumbprint(const std::wstring& text)
{
    if (text.size() != 40) {
        return false;
    }
    for (wchar_t c : text) {
        if (!std::iswxdigit(static_cast<wint_t>(c))) {
            return false;
        }
    }
    return true;
}

ParsedArguments ParseToolArguments(const std::vector<std::wstring>& args)
{
    ParsedArguments result;
    ToolOptions& o = result.options;
    const CommandEntry* entry = nullptr;
    std::vector<std::wstring> positionals;
    // Options in the order given, checked once the command is known.
    std::vector<std::pair<const OptionEntry*, std::wstring>> given;

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
        const OptionEntry* option = FindOption(name);
        if (option == nullptr) {
            return Fail(L"unknown option " + name);
        }
        if (option->takesValue && !hasInlineValue) {
            if (i + 1 >= args.size()) {
                return Fail(L"option " + name + L" needs a value");
            }
            value = args[++i];
        } else if (!option->takesValue && hasInlineValue) {
            return Fail(L"option " + name + L" takes no value");
        }
        given.emplace_back(option, value);
    }

    for (const auto& [option, value] : given) {
        if (option->name == std::wstring(L"--help") || option->name == std::wstring(L"-h")) {
            result.ok = true;
            o.command = Command::Help;
            return result;
        }
    }
    if (entry == nullptr) {
        return Fail(L"no command given");
    }
    o.command = entry->command;
    const std::wstring cmd = entry->name;
    bool dllGiven = false;
    bool subjectGiven = false;
    for (const auto& [option, value] : given) {
        const std::wstring name = option->name;
        if (option->group != 0 && (entry->options & option->group) == 0) {
            return Fail(name + L" does not apply to '" + cmd + L"'");
        }
        if (name == L"--ncrypt") {
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
        } else if (name == L"--pss") {
            o.padding = SignaturePadding::Pss;
        } else if (name == L"--format") {
            std::wstring error;
            if (!ParseFormat(value, o.command, o.format, error)) {
                return Fail(error);
            }
        } else if (name == L"--subject") {
            if (value.empty()) {
                return Fail(L"--subject needs a name such as \"CN=build signer,O=Example\"");
            }
            o.subject = value;
            subjectGiven = true;
        } else if (name == L"--dns") {
            if (!IsDnsName(value)) {
                return Fail(L"--dns '" + value + L"' is not a DNS name (ASCII letters, digits, '-' and '.', "
                            L"optionally starting with '*.')");
            }
            o.dnsNames.push_back(value);
        } else if (name == L"--days") {
            if (!ParseDays(value, o.days)) {
                return Fail(L"--days takes a whole number of days from 1 to 36500");
            }
        } else if (name == L"--code-signing") {
            o.purposes |= kPurposeCodeSigning;
        } else if (name == L"--client-auth") {
            o.purposes |= kPurposeClientAuth;
        } else if (name == L"--server-auth") {
            o.purposes |= kPurposeServerAuth;
        } else if (name == L"--store") {
            if (value.empty() || value.find_first_of(L"\\/") != std::wstring::npos) {
                return Fail(L"--store takes the name of a store of the current user, such as My");
            }
            o.storeName = value;
        }
    }
    if (o.viaNcrypt && dllGiven) {
        return Fail(L"--dll and --ncrypt exclude each other");
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
    case Command::Request:
    case Command::SelfSign:
        o.outputPath = positionals[1];
        if (!subjectGiven) {
            return Fail(L"'" + cmd + L"' needs --subject, for example --subject \"CN=build signer,O=Example\"");
        }
        if (o.hash == HashAlgorithm::Sha1) {
            return Fail(L"SHA-1 is not accepted for requests and certificates (use SHA256, SHA384 or SHA512)");
        }
        break;
    case Command::LinkCert:
    case Command::UnlinkCert:
        o.certificate = positionals[1];
        break;
    default:
        break;
    }
    if (o.command != Command::Export) {
        for (const std::wstring* path : {&o.inputPath, &o.outputPath, &o.signaturePath, &o.certificate}) {
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

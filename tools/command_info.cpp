// "provider" and "key": properties and algorithms, one line each.
#include "commands.h"

#include "ksp_status.h"
#include "report.h"
#include "status_names.h"

#include <cstdio>
#include <cstring>

namespace zkt {
namespace {

void PrintRow(const char* label, const std::string& value)
{
    printf("  %-24s %s\n", label, value.c_str());
}

// A UTF-16 value, up to its terminator or the end of what was answered.
std::string AsText(const std::vector<uint8_t>& bytes)
{
    std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
    memcpy(text.data(), bytes.data(), text.size() * sizeof(wchar_t));
    const size_t nul = text.find(L'\0');
    if (nul != std::wstring::npos) {
        text.resize(nul);
    }
    return ToUtf8(text);
}

bool AsDword(const CallResult& r, const std::vector<uint8_t>& bytes, DWORD& value)
{
    if (bytes.size() != sizeof(DWORD)) {
        ReportProblem(r.operation + " answered " + std::to_string(bytes.size()) + " bytes, expected 4");
        return false;
    }
    memcpy(&value, bytes.data(), sizeof value);
    return true;
}

std::string Hex32(DWORD value)
{
    char buf[16];
    snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(value));
    return buf;
}

// Fetches one provider property and prints it; text or a described number.
bool ShowProviderDword(ProviderSession& s, const wchar_t* name, const char* label,
                       std::string (*describe)(DWORD))
{
    std::vector<uint8_t> bytes;
    const CallResult r = GetProviderProperty(s, name, bytes);
    DWORD value = 0;
    if (!Succeeded(r) || !AsDword(r, bytes, value)) {
        return false;
    }
    PrintRow(label, describe(value));
    return true;
}

std::string DescribeImplType(DWORD v)
{
    std::string text = Hex32(v);
    if (v & 0x1) text += " hardware";
    if (v & 0x2) text += " software";
    if (v & 0x8) text += " removable";
    if (v & 0x10) text += " hardware-random";
    return text;
}

std::string DescribeVersion(DWORD v)
{
    return std::to_string(v >> 16) + "." + std::to_string(v & 0xFFFF) + " (" + Hex32(v) + ")";
}

std::string DescribeNumber(DWORD v)
{
    return std::to_string(v);
}

std::string DescribeKeyUsage(DWORD v)
{
    std::string text = Hex32(v);
    if (v & 0x1) text += " decrypt";
    if (v & 0x2) text += " sign";
    if (v & 0x4) text += " key-agreement";
    return text;
}

std::string DescribeExportPolicy(DWORD v)
{
    return Hex32(v) + (v == 0 ? " (private key not exportable)" : "");
}

std::string DescribeKeyType(DWORD v)
{
    return Hex32(v) + ((v & 0x20) != 0 ? " (machine key)" : " (user key)");
}

std::string DescribeClass(DWORD algorithmClass)
{
    switch (algorithmClass) {
    case 1: return "cipher";
    case 2: return "hash";
    case 3: return "asymmetric encryption";
    case 4: return "secret agreement";
    case 5: return "signature";
    default: return "class " + std::to_string(algorithmClass);
    }
}

std::string DescribeOperations(DWORD ops)
{
    std::string text = Hex32(ops);
    if (ops & 0x1) text += " cipher";
    if (ops & 0x2) text += " hash";
    if (ops & 0x4) text += " asymmetric-encryption";
    if (ops & 0x8) text += " secret-agreement";
    if (ops & 0x10) text += " signature";
    return text;
}

bool ShowKeyText(OpenedKey& key, const wchar_t* name, const char* label)
{
    std::vector<uint8_t> bytes;
    if (!Succeeded(GetKeyProperty(key, name, bytes))) {
        return false;
    }
    PrintRow(label, AsText(bytes));
    return true;
}

bool ShowKeyDword(OpenedKey& key, const wchar_t* name, const char* label, std::string (*describe)(DWORD))
{
    DWORD value = 0;
    if (!ReadKeyDword(key, name, value)) {
        return false;
    }
    PrintRow(label, describe(value));
    return true;
}

// "Lengths" comes from the platform's RSA algorithm; where the platform
// cannot say (Wine), the provider passes its status on and we show it.
bool ShowKeyLengths(OpenedKey& key)
{
    std::vector<uint8_t> bytes;
    const CallResult r = GetKeyProperty(key, L"Lengths", bytes);
    if (r.status == kStatusNotImplemented) {
        char status[96];
        FormatStatus(r.status, status, sizeof status);
        PrintRow("Lengths", std::string("not available from the platform (") + status + ")");
        return true;
    }
    if (!Succeeded(r)) {
        return false;
    }
    if (bytes.size() != 16) {
        ReportProblem(r.operation + " answered " + std::to_string(bytes.size()) + " bytes, expected 16");
        return false;
    }
    DWORD f[4];
    memcpy(f, bytes.data(), sizeof f);
    PrintRow("Lengths", "min " + std::to_string(f[0]) + ", max " + std::to_string(f[1]) + ", step " +
                            std::to_string(f[2]) + ", default " + std::to_string(f[3]) + " bits");
    return true;
}

void PrintWhereFrom(const ProviderSession& s)
{
    if (s.viaNcrypt) {
        printf("Provider \"%s\" opened through NCrypt\n", ToUtf8(kProviderName).c_str());
    } else {
        printf("Provider loaded from %s (GetKeyStorageInterface, interface %u.%u)\n", ToUtf8(s.dllPath).c_str(),
               static_cast<unsigned>(s.table->Version.MajorVersion),
               static_cast<unsigned>(s.table->Version.MinorVersion));
    }
}

}  // namespace

int RunProviderCommand(const ToolOptions& options)
{
    ProviderSession s;
    if (!OpenToolSession(options, s)) {
        return 1;
    }
    PrintWhereFrom(s);

    std::vector<uint8_t> bytes;
    if (!Succeeded(GetProviderProperty(s, L"Name", bytes))) {
        return 1;
    }
    PrintRow("Name", AsText(bytes));
    if (!ShowProviderDword(s, L"Version", "Version", DescribeVersion) ||
        !ShowProviderDword(s, L"Impl Type", "Impl Type", DescribeImplType) ||
        !ShowProviderDword(s, L"Max Name Length", "Max Name Length", DescribeNumber) ||
        !ShowProviderDword(s, L"Security Descr Support", "Security Descr Support", DescribeNumber)) {
        return 1;
    }
    // Without a stored context the provider answers NTE_INTERNAL_ERROR.
    const CallResult context = GetProviderProperty(s, L"Use Context", bytes);
    if (context.status == NTE_INTERNAL_ERROR && !options.setUseContext) {
        PrintRow("Use Context", "(not set)");
    } else if (Succeeded(context)) {
        const std::string text = AsText(bytes);
        PrintRow("Use Context", "\"" + text + "\"");
    } else {
        return 1;
    }

    if (!Succeeded(IsAlgorithmSupported(s, L"RSA"))) {
        return 1;
    }
    PrintRow("RSA supported", "yes");
    std::vector<AlgorithmEntry> algorithms;
    if (!Succeeded(EnumerateAlgorithms(s, algorithms))) {
        return 1;
    }
    PrintRow("Algorithms", std::to_string(algorithms.size()));
    for (const AlgorithmEntry& a : algorithms) {
        PrintRow(("  " + ToUtf8(a.name)).c_str(),
                 DescribeClass(a.algorithmClass) + ", operations " + DescribeOperations(a.operations));
    }
    return 0;
}

int RunKeyCommand(const ToolOptions& options)
{
    ProviderSession s;
    OpenedKey key;
    if (!OpenToolKey(options, s, key)) {
        return 1;
    }
    PrintWhereFrom(s);
    printf("Key \"%s\" opened\n", ToUtf8(options.keyName).c_str());
    const bool ok = ShowKeyText(key, L"Name", "Name") && ShowKeyText(key, L"Unique Name", "Unique Name") &&
                    ShowKeyText(key, L"Algorithm Name", "Algorithm Name") &&
                    ShowKeyText(key, L"Algorithm Group", "Algorithm Group") &&
                    ShowKeyDword(key, L"Length", "Length (bits)", DescribeNumber) &&
                    ShowKeyDword(key, L"Block Length", "Block Length (bytes)", DescribeNumber) &&
                    ShowKeyLengths(key) && ShowKeyDword(key, L"Key Usage", "Key Usage", DescribeKeyUsage) &&
                    ShowKeyDword(key, L"Export Policy", "Export Policy", DescribeExportPolicy) &&
                    ShowKeyDword(key, L"Key Type", "Key Type", DescribeKeyType);
    return ok ? 0 : 1;
}

}  // namespace zkt

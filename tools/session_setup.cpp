#include "commands.h"

#include "report.h"
#include "utf16_text.h"

#include <cstdio>
#include <cstring>

namespace zkt {

bool OpenToolSession(const ToolOptions& options, ProviderSession& session)
{
    if (!Succeeded(OpenSession(options.viaNcrypt, ToWide(options.dllPath), session))) {
        return false;
    }
    if (options.setUseContext) {
        // Stored as a UTF-16 string with its terminator.
        const std::wstring useContext = ToWide(options.useContext);
        const DWORD size = static_cast<DWORD>((useContext.size() + 1) * sizeof(wchar_t));
        if (!Succeeded(SetProviderProperty(session, L"Use Context", useContext.c_str(), size))) {
            return false;
        }
    }
    return true;
}

bool OpenToolKey(const ToolOptions& options, ProviderSession& session, OpenedKey& key)
{
    return OpenToolSession(options, session) && Succeeded(OpenKeyByName(session, ToWide(options.keyName), key));
}

bool ReadKeyDword(OpenedKey& key, const wchar_t* name, DWORD& value)
{
    std::vector<uint8_t> bytes;
    const CallResult r = GetKeyProperty(key, name, bytes);
    if (!Succeeded(r)) {
        return false;
    }
    if (bytes.size() != sizeof(DWORD)) {
        ReportProblem(r.operation + " answered " + std::to_string(bytes.size()) + " bytes, expected 4");
        return false;
    }
    memcpy(&value, bytes.data(), sizeof value);
    return true;
}

bool OpenToolKeyBlock(const ToolOptions& options, KeyWithBlock& opened)
{
    return OpenToolKey(options, opened.session, opened.key) &&
           ReadKeyDword(opened.key, L"Block Length", opened.blockLength);
}

std::string HexString(const std::vector<uint8_t>& bytes)
{
    std::string out;
    char two[3];
    for (uint8_t b : bytes) {
        snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

}  // namespace zkt

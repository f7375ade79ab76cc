#include "provider_access.h"

#include "report.h"

#include <ncrypt.h>

namespace zkt {
namespace {

CallResult Result(LONG status, std::string operation, bool win32 = false)
{
    CallResult r;
    r.status = status;
    r.operation = std::move(operation);
    r.win32 = win32;
    return r;
}

// "GetKeyProperty(\"Length\")"
std::string Named(const char* operation, const wchar_t* name)
{
    return std::string(operation) + "(\"" + ToUtf8(name) + "\")";
}

std::wstring DefaultDllPath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) {
            return L"ZentravaKSP.dll";
        }
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of(L"\\/");
    path.resize(slash == std::wstring::npos ? 0 : slash + 1);
    return path + L"ZentravaKSP.dll";
}

NCRYPT_HANDLE AsNcrypt(ULONG_PTR handle)
{
    return static_cast<NCRYPT_HANDLE>(handle);
}

// The property read protocol: a size query, then the read.
template <typename Query>
LONG ReadProperty(Query query, std::vector<uint8_t>& value)
{
    DWORD size = 0;
    LONG status = query(nullptr, 0, &size);
    if (status != 0) {
        return status;
    }
    value.assign(size, 0);
    DWORD written = 0;
    status = query(value.data(), size, &written);
    if (status == 0) {
        value.resize(written < size ? written : size);
    }
    return status;
}

}  // namespace

bool Succeeded(const CallResult& result)
{
    if (result.ok()) {
        return true;
    }
    if (result.win32) {
        ReportWin32Failure(result.operation, static_cast<DWORD>(result.status));
    } else {
        ReportStatusFailure(result.operation, result.status);
    }
    return false;
}

void ToolProviderTraits::Release(const ToolHandle& h)
{
    if (h.table != nullptr) {
        h.table->FreeProvider(h.handle);
    } else {
        NCryptFreeObject(AsNcrypt(h.handle));
    }
}

void ToolKeyTraits::Release(const ToolHandle& h)
{
    if (h.table != nullptr) {
        h.table->FreeKey(h.provider, h.handle);
    } else {
        NCryptFreeObject(AsNcrypt(h.handle));
    }
}

CallResult OpenSession(bool viaNcrypt, const std::wstring& dllPath, ProviderSession& session)
{
    session.viaNcrypt = viaNcrypt;
    NCRYPT_PROV_HANDLE opened = 0;
    if (viaNcrypt) {
        const LONG status = NCryptOpenStorageProvider(&opened, kProviderName, 0);
        if (opened != 0) {
            session.providerHandle.Reset(ToolHandle{nullptr, 0, opened});
        }
        return Result(status, "NCryptOpenStorageProvider(\"" + ToUtf8(kProviderName) + "\")");
    }
    session.dllPath = dllPath.empty() ? DefaultDllPath() : dllPath;
    session.module.Reset(LoadLibraryW(session.dllPath.c_str()));
    if (!session.module) {
        return Result(static_cast<LONG>(GetLastError()), "LoadLibrary(" + ToUtf8(session.dllPath) + ")", true);
    }
    const auto entry = reinterpret_cast<GetKeyStorageInterfaceFn>(
        reinterpret_cast<void*>(GetProcAddress(session.module.get(), "GetKeyStorageInterface")));
    if (entry == nullptr) {
        return Result(static_cast<LONG>(GetLastError()), "GetProcAddress(GetKeyStorageInterface)", true);
    }
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE* table = nullptr;
    const LONG status = entry(kProviderName, &table, 0);
    if (status != 0) {
        return Result(status, "GetKeyStorageInterface");
    }
    if (table == nullptr) {
        return Result(NTE_PROVIDER_DLL_FAIL, "GetKeyStorageInterface (no function table)");
    }
    if (table->Version.MajorVersion != 1) {
        return Result(NTE_BAD_VER, "GetKeyStorageInterface (interface version " +
                                       std::to_string(table->Version.MajorVersion) + "." +
                                       std::to_string(table->Version.MinorVersion) + ")");
    }
    session.table = table;
    const LONG openStatus = table->OpenProvider(&opened, kProviderName, 0);
    if (opened != 0) {
        session.providerHandle.Reset(ToolHandle{table, 0, opened});
    }
    return Result(openStatus, "OpenProvider");
}

CallResult GetProviderProperty(ProviderSession& s, const wchar_t* name, std::vector<uint8_t>& value)
{
    if (s.viaNcrypt) {
        const LONG st = ReadProperty([&](PBYTE out, DWORD size, DWORD* result) {
            return NCryptGetProperty(AsNcrypt(s.provider()), name, out, size, result, 0);
        }, value);
        return Result(st, Named("NCryptGetProperty", name));
    }
    const LONG st = ReadProperty([&](PBYTE out, DWORD size, DWORD* result) {
        return s.table->GetProviderProperty(s.provider(), name, out, size, result, 0);
    }, value);
    return Result(st, Named("GetProviderProperty", name));
}

CallResult SetProviderProperty(ProviderSession& s, const wchar_t* name, const void* value, DWORD size)
{
    auto* bytes = static_cast<PBYTE>(const_cast<void*>(value));
    if (s.viaNcrypt) {
        return Result(NCryptSetProperty(AsNcrypt(s.provider()), name, bytes, size, 0),
                      Named("NCryptSetProperty", name));
    }
    return Result(s.table->SetProviderProperty(s.provider(), name, bytes, size, 0),
                  Named("SetProviderProperty", name));
}

CallResult IsAlgorithmSupported(ProviderSession& s, const wchar_t* algorithm)
{
    if (s.viaNcrypt) {
        return Result(NCryptIsAlgSupported(s.provider(), algorithm, 0), Named("NCryptIsAlgSupported", algorithm));
    }
    return Result(s.table->IsAlgSupported(s.provider(), algorithm, 0), Named("IsAlgSupported", algorithm));
}

CallResult EnumerateAlgorithms(ProviderSession& s, std::vector<AlgorithmEntry>& list)
{
    DWORD count = 0;
    NCryptAlgorithmName* names = nullptr;
    const LONG st = s.viaNcrypt ? NCryptEnumAlgorithms(s.provider(), 0, &count, &names, 0)
                                : s.table->EnumAlgorithms(s.provider(), 0, &count, &names, 0);
    const char* operation = s.viaNcrypt ? "NCryptEnumAlgorithms" : "EnumAlgorithms";
    if (st != 0) {
        return Result(st, operation);
    }
    list.clear();
    for (DWORD i = 0; names != nullptr && i < count; ++i) {
        AlgorithmEntry entry;
        entry.name = names[i].pszName != nullptr ? names[i].pszName : L"";
        entry.algorithmClass = names[i].dwClass;
        entry.operations = names[i].dwAlgOperations;
        entry.flags = names[i].dwFlags;
        list.push_back(entry);
    }
    if (names != nullptr) {
        const LONG freed = s.viaNcrypt ? NCryptFreeBuffer(names) : s.table->FreeBuffer(names);
        if (freed != 0) {
            return Result(freed, s.viaNcrypt ? "NCryptFreeBuffer" : "FreeBuffer");
        }
    }
    return Result(0, operation);
}

CallResult OpenKeyByName(ProviderSession& s, const std::wstring& name, OpenedKey& key)
{
    key.session = &s;
    NCRYPT_KEY_HANDLE opened = 0;
    const LONG status = s.viaNcrypt ? NCryptOpenKey(s.provider(), &opened, name.c_str(), 0, 0)
                                    : s.table->OpenKey(s.provider(), &opened, name.c_str(), 0, 0);
    if (opened != 0) {
        key.keyHandle.Reset(ToolHandle{s.viaNcrypt ? nullptr : s.table, s.provider(), opened});
    }
    return Result(status, Named(s.viaNcrypt ? "NCryptOpenKey" : "OpenKey", name.c_str()));
}

CallResult GetKeyProperty(OpenedKey& key, const wchar_t* name, std::vector<uint8_t>& value)
{
    ProviderSession& s = *key.session;
    if (s.viaNcrypt) {
        const LONG st = ReadProperty([&](PBYTE out, DWORD size, DWORD* result) {
            return NCryptGetProperty(AsNcrypt(key.handle()), name, out, size, result, 0);
        }, value);
        return Result(st, Named("NCryptGetProperty", name));
    }
    const LONG st = ReadProperty([&](PBYTE out, DWORD size, DWORD* result) {
        return s.table->GetKeyProperty(s.provider(), key.handle(), name, out, size, result, 0);
    }, value);
    return Result(st, Named("GetKeyProperty", name));
}

CallResult SignHash(OpenedKey& key, void* paddingInfo, DWORD flags, const std::vector<uint8_t>& hash,
                    DWORD capacity, std::vector<uint8_t>& signature)
{
    ProviderSession& s = *key.session;
    auto* hashBytes = const_cast<PBYTE>(hash.data());
    const DWORD hashSize = static_cast<DWORD>(hash.size());
    signature.assign(capacity, 0);
    DWORD written = 0;
    const LONG st = s.viaNcrypt
        ? NCryptSignHash(key.handle(), paddingInfo, hashBytes, hashSize, signature.data(), capacity, &written, flags)
        : s.table->SignHash(s.provider(), key.handle(), paddingInfo, hashBytes, hashSize, signature.data(), capacity,
                            &written, flags);
    if (st == 0) {
        signature.resize(written < capacity ? written : capacity);
    }
    return Result(st, s.viaNcrypt ? "NCryptSignHash" : "SignHash");
}

CallResult VerifySignature(OpenedKey& key, void* paddingInfo, DWORD flags, const std::vector<uint8_t>& hash,
                           const std::vector<uint8_t>& signature)
{
    ProviderSession& s = *key.session;
    auto* hashBytes = const_cast<PBYTE>(hash.data());
    auto* signatureBytes = const_cast<PBYTE>(signature.data());
    const DWORD hashSize = static_cast<DWORD>(hash.size());
    const DWORD signatureSize = static_cast<DWORD>(signature.size());
    const LONG st = s.viaNcrypt
        ? NCryptVerifySignature(key.handle(), paddingInfo, hashBytes, hashSize, signatureBytes, signatureSize, flags)
        : s.table->VerifySignature(s.provider(), key.handle(), paddingInfo, hashBytes, hashSize, signatureBytes,
                                   signatureSize, flags);
    return Result(st, s.viaNcrypt ? "NCryptVerifySignature" : "VerifySignature");
}

CallResult Encrypt(OpenedKey& key, void* paddingInfo, DWORD flags, const std::vector<uint8_t>& input,
                   std::vector<uint8_t>& output)
{
    ProviderSession& s = *key.session;
    auto* in = const_cast<PBYTE>(input.data());
    const DWORD inSize = static_cast<DWORD>(input.size());
    const char* operation = s.viaNcrypt ? "NCryptEncrypt" : "Encrypt";
    auto call = [&](PBYTE out, DWORD outSize, DWORD* result) {
        return s.viaNcrypt
            ? NCryptEncrypt(key.handle(), in, inSize, paddingInfo, out, outSize, result, flags)
            : s.table->Encrypt(s.provider(), key.handle(), in, inSize, paddingInfo, out, outSize, result, flags);
    };
    DWORD size = 0;
    LONG st = call(nullptr, 0, &size);
    if (st != 0) {
        return Result(st, std::string(operation) + " (size query)");
    }
    output.assign(size, 0);
    DWORD written = 0;
    st = call(output.data(), size, &written);
    if (st == 0) {
        output.resize(written < size ? written : size);
    }
    return Result(st, operation);
}

CallResult Decrypt(OpenedKey& key, void* paddingInfo, DWORD flags, const std::vector<uint8_t>& input,
                   DWORD capacity, std::vector<uint8_t>& output)
{
    ProviderSession& s = *key.session;
    auto* in = const_cast<PBYTE>(input.data());
    const DWORD inSize = static_cast<DWORD>(input.size());
    output.assign(capacity, 0);
    DWORD written = 0;
    const LONG st = s.viaNcrypt
        ? NCryptDecrypt(key.handle(), in, inSize, paddingInfo, output.data(), capacity, &written, flags)
        : s.table->Decrypt(s.provider(), key.handle(), in, inSize, paddingInfo, output.data(), capacity, &written,
                           flags);
    if (st == 0) {
        output.resize(written < capacity ? written : capacity);
    }
    return Result(st, s.viaNcrypt ? "NCryptDecrypt" : "Decrypt");
}

CallResult ExportKey(OpenedKey& key, const wchar_t* blobType, std::vector<uint8_t>& blob)
{
    ProviderSession& s = *key.session;
    auto call = [&](PBYTE out, DWORD outSize, DWORD* result) {
        return s.viaNcrypt
            ? NCryptExportKey(key.handle(), 0, blobType, nullptr, out, outSize, result, 0)
            : s.table->ExportKey(s.provider(), key.handle(), 0, blobType, nullptr, out, outSize, result, 0);
    };
    const LONG st = ReadProperty(call, blob);
    return Result(st, Named(s.viaNcrypt ? "NCryptExportKey" : "ExportKey", blobType));
}

}  // namespace zkt

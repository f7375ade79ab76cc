// Reaching the provider: either the DLL loaded directly and driven through
// its function table, as the CNG router does, or NCrypt and the registered
// provider. Each call names the platform operation it made, for reporting.
#pragma once

#include "ksp_interface.h"
#include "provider_name.h"
#include "unique_resource.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zkt {

struct CallResult {
    LONG status = 0;          // SECURITY_STATUS, or a Win32 error when win32 is set
    std::string operation;    // e.g. "SignHash" or "NCryptSignHash"
    bool win32 = false;
    bool ok() const { return status == 0; }
};

// Prints the failure (if any) and says whether the call worked.
bool Succeeded(const CallResult& result);

// A provider or key handle of either path, released the way it was opened:
// through the DLL's table (FreeProvider, FreeKey) or NCryptFreeObject.
struct ToolHandle {
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE* table = nullptr;  // null: opened through NCrypt
    NCRYPT_PROV_HANDLE provider = 0;                      // for a key: the provider it came from
    ULONG_PTR handle = 0;
};
struct ToolProviderTraits {
    using Type = ToolHandle;
    static Type Empty() { return {}; }
    static bool IsEmpty(const Type& h) { return h.handle == 0; }
    static void Release(const Type& h);
};
struct ToolKeyTraits {
    using Type = ToolHandle;
    static Type Empty() { return {}; }
    static bool IsEmpty(const Type& h) { return h.handle == 0; }
    static void Release(const Type& h);
};

struct ProviderSession {
    bool viaNcrypt = false;
    std::wstring dllPath;  // the DLL loaded, when not through NCrypt
    UniqueModule module;   // declared first: unloaded after the provider is freed
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE* table = nullptr;
    UniqueResource<ToolProviderTraits> providerHandle;

    NCRYPT_PROV_HANDLE provider() const { return providerHandle.get().handle; }
};

struct OpenedKey {
    ProviderSession* session = nullptr;
    UniqueResource<ToolKeyTraits> keyHandle;

    NCRYPT_KEY_HANDLE handle() const { return keyHandle.get().handle; }
};

struct AlgorithmEntry {
    std::wstring name;
    DWORD algorithmClass = 0;
    DWORD operations = 0;
    DWORD flags = 0;
};

// dllPath empty: ZentravaKSP.dll beside the running program.
CallResult OpenSession(bool viaNcrypt, const std::wstring& dllPath, ProviderSession& session);

CallResult GetProviderProperty(ProviderSession& s, const wchar_t* name, std::vector<uint8_t>& value);
CallResult SetProviderProperty(ProviderSession& s, const wchar_t* name, const void* value, DWORD size);
CallResult IsAlgorithmSupported(ProviderSession& s, const wchar_t* algorithm);
CallResult EnumerateAlgorithms(ProviderSession& s, std::vector<AlgorithmEntry>& list);

CallResult OpenKeyByName(ProviderSession& s, const std::wstring& name, OpenedKey& key);
CallResult GetKeyProperty(OpenedKey& key, const wchar_t* name, std::vector<uint8_t>& value);

// The signature buffer is sized by the caller (an RSA signature is as long as
// the modulus); signature is cut to the length the provider reports.
CallResult SignHash(OpenedKey& key, void* paddingInfo, DWORD flags, const std::vector<uint8_t>& hash,
                    DWORD capacity, std::vector<uint8_t>& signature);
CallResult VerifySignature(OpenedKey& key, void* paddingInfo, DWORD flags, const std::vector<uint8_t>& hash,
                           const std::vector<uint8_t>& signature);
// Size query first, then the encryption.
CallResult Encrypt(OpenedKey& key, void* paddingInfo, DWORD flags, const std::vector<uint8_t>& input,
                   std::vector<uint8_t>& output);
// One call into a buffer of the given capacity: a decrypt size query would
// cost the service a whole decryption.
CallResult Decrypt(OpenedKey& key, void* paddingInfo, DWORD flags, const std::vector<uint8_t>& input,
                   DWORD capacity, std::vector<uint8_t>& output);
CallResult ExportKey(OpenedKey& key, const wchar_t* blobType, std::vector<uint8_t>& blob);

}  // namespace zkt

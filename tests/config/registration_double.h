// Stands in for the CNG configuration functions in this test executable's
// import table (Wine stores no registrations and aborts on enumeration).
// Records every call with its arguments and keeps a registration table.
#pragma once

#include <windows.h>

#include <bcrypt.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "import_patch.h"

namespace zt {

struct InterfaceCopy {
    ULONG interfaceId = 0;
    ULONG flags = 0;
    ULONG functionCount = 0;
    std::vector<std::wstring> functions;
};

// Deep copy of the record handed to BCryptRegisterProvider.
struct RegistrationCopy {
    ULONG aliasCount = 0;
    bool aliasesNull = true;
    bool hasUserMode = false;
    bool hasKernelMode = false;
    std::wstring image;
    ULONG interfaceCount = 0;
    std::vector<InterfaceCopy> interfaces;
};

struct ConfigCall {
    std::string fn;
    ULONG table = 0;
    bool contextNull = true;
    std::wstring context;
    ULONG interfaceId = 0;
    std::wstring function;
    std::wstring provider;
    ULONG position = 0;
    ULONG flags = 0;
    RegistrationCopy record;      // BCryptRegisterProvider
    ULONG sizeIn = 0;             // BCryptEnumRegisteredProviders
    bool bufferInNull = false;    // BCryptEnumRegisteredProviders
    const void* buffer = nullptr; // returned by enumeration, or passed to BCryptFreeBuffer
};

inline constexpr NTSTATUS kStatusCollision = static_cast<NTSTATUS>(0xC0000035);  // STATUS_OBJECT_NAME_COLLISION
inline constexpr NTSTATUS kStatusNotFound = static_cast<NTSTATUS>(0xC0000225);   // STATUS_NOT_FOUND

// One instance at a time; patches are removed by the destructor.
class RegistrationDouble {
public:
    RegistrationDouble();
    ~RegistrationDouble();
    RegistrationDouble(const RegistrationDouble&) = delete;
    RegistrationDouble& operator=(const RegistrationDouble&) = delete;

    bool active() const;

    const std::vector<ConfigCall>& calls() const { return calls_; }
    std::vector<std::string> CallNames() const;
    void ClearCalls() { calls_.clear(); }

    // Every later call of `fn` fails with `status` and changes nothing.
    void FailWith(const std::string& fn, NTSTATUS status) { failures_[fn] = status; }
    // Enumeration succeeds without handing out a buffer.
    void EnumGivesNoBuffer() { enumNoBuffer_ = true; }

    void AddRegisteredProvider(const std::wstring& name) { providers_.push_back(name); }
    bool IsRegistered(const std::wstring& name) const;
    const RegistrationCopy* RegistrationOf(const std::wstring& name) const;
    // Providers listed under a function in the local default context; null if
    // the function entry does not exist.
    const std::vector<std::wstring>* FunctionEntry(ULONG interfaceId, const std::wstring& function) const;
    size_t OutstandingBuffers() const { return outstanding_.size(); }

    // Hook bodies.
    NTSTATUS Register(LPCWSTR provider, ULONG flags, PCRYPT_PROVIDER_REG reg);
    NTSTATUS Unregister(LPCWSTR provider);
    NTSTATUS AddFunction(ULONG table, LPCWSTR context, ULONG interfaceId, LPCWSTR function, ULONG position);
    NTSTATUS AddFunctionProvider(ULONG table, LPCWSTR context, ULONG interfaceId, LPCWSTR function,
                                 LPCWSTR provider, ULONG position);
    NTSTATUS RemoveFunctionProvider(ULONG table, LPCWSTR context, ULONG interfaceId, LPCWSTR function,
                                    LPCWSTR provider);
    NTSTATUS Enumerate(ULONG* size, PCRYPT_PROVIDERS* buffer);
    void Free(PVOID buffer);

private:
    bool Failing(const std::string& fn, NTSTATUS* status) const;
    static ConfigCall ContextCall(const char* fn, ULONG table, LPCWSTR context, ULONG interfaceId, LPCWSTR function);

    std::vector<std::unique_ptr<ImportPatch>> patches_;
    std::vector<ConfigCall> calls_;
    std::map<std::string, NTSTATUS> failures_;
    bool enumNoBuffer_ = false;
    std::vector<std::wstring> providers_;  // registration order
    std::map<std::wstring, RegistrationCopy> records_;
    std::map<std::pair<ULONG, std::wstring>, std::vector<std::wstring>> functions_;
    std::vector<void*> outstanding_;
};

}  // namespace zt

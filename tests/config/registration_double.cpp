#include "registration_double.h"

#include <algorithm>
#include <cstring>

namespace zt {
namespace {

RegistrationDouble* g_double = nullptr;

NTSTATUS WINAPI HookRegister(LPCWSTR provider, ULONG flags, PCRYPT_PROVIDER_REG reg)
{
    return g_double->Register(provider, flags, reg);
}

NTSTATUS WINAPI HookUnregister(LPCWSTR provider)
{
    return g_double->Unregister(provider);
}

NTSTATUS WINAPI HookAddFunction(ULONG table, LPCWSTR context, ULONG interfaceId, LPCWSTR function, ULONG position)
{
    return g_double->AddFunction(table, context, interfaceId, function, position);
}

NTSTATUS WINAPI HookAddFunctionProvider(ULONG table, LPCWSTR context, ULONG interfaceId, LPCWSTR function,
                                        LPCWSTR provider, ULONG position)
{
    return g_double->AddFunctionProvider(table, context, interfaceId, function, provider, position);
}

NTSTATUS WINAPI HookRemoveFunctionProvider(ULONG table, LPCWSTR context, ULONG interfaceId, LPCWSTR function,
                                           LPCWSTR provider)
{
    return g_double->RemoveFunctionProvider(table, context, interfaceId, function, provider);
}

NTSTATUS WINAPI HookEnumerate(ULONG* size, PCRYPT_PROVIDERS* buffer)
{
    return g_double->Enumerate(size, buffer);
}

VOID WINAPI HookFree(PVOID buffer)
{
    g_double->Free(buffer);
}

std::wstring Str(LPCWSTR s)
{
    return s != nullptr ? std::wstring(s) : std::wstring();
}

RegistrationCopy CopyRecord(const CRYPT_PROVIDER_REG* reg)
{
    RegistrationCopy copy;
    copy.aliasCount = reg->cAliases;
    copy.aliasesNull = reg->rgpszAliases == nullptr;
    copy.hasKernelMode = reg->pKM != nullptr;
    copy.hasUserMode = reg->pUM != nullptr;
    if (reg->pUM == nullptr) {
        return copy;
    }
    copy.image = Str(reg->pUM->pszImage);
    copy.interfaceCount = reg->pUM->cInterfaces;
    for (ULONG i = 0; i < reg->pUM->cInterfaces && reg->pUM->rgpInterfaces != nullptr; ++i) {
        const CRYPT_INTERFACE_REG* in = reg->pUM->rgpInterfaces[i];
        InterfaceCopy out;
        if (in != nullptr) {
            out.interfaceId = in->dwInterface;
            out.flags = in->dwFlags;
            out.functionCount = in->cFunctions;
            for (ULONG f = 0; f < in->cFunctions && in->rgpszFunctions != nullptr; ++f) {
                out.functions.push_back(Str(in->rgpszFunctions[f]));
            }
        }
        copy.interfaces.push_back(out);
    }
    return copy;
}

}  // namespace

RegistrationDouble::RegistrationDouble()
{
    g_double = this;
    HMODULE self = GetModuleHandleW(nullptr);
    const struct {
        const char* name;
        void* hook;
    } hooks[] = {
        {"BCryptRegisterProvider", reinterpret_cast<void*>(&HookRegister)},
        {"BCryptUnregisterProvider", reinterpret_cast<void*>(&HookUnregister)},
        {"BCryptAddContextFunction", reinterpret_cast<void*>(&HookAddFunction)},
        {"BCryptAddContextFunctionProvider", reinterpret_cast<void*>(&HookAddFunctionProvider)},
        {"BCryptRemoveContextFunctionProvider", reinterpret_cast<void*>(&HookRemoveFunctionProvider)},
        {"BCryptEnumRegisteredProviders", reinterpret_cast<void*>(&HookEnumerate)},
        {"BCryptFreeBuffer", reinterpret_cast<void*>(&HookFree)},
    };
    for (const auto& h : hooks) {
        patches_.push_back(std::make_unique<ImportPatch>(self, "bcrypt.dll", h.name, h.hook));
    }
}

RegistrationDouble::~RegistrationDouble()
{
    while (!patches_.empty()) {
        patches_.pop_back();
    }
    for (void* p : outstanding_) {
        HeapFree(GetProcessHeap(), 0, p);
    }
    g_double = nullptr;
}

bool RegistrationDouble::active() const
{
    return std::all_of(patches_.begin(), patches_.end(), [](const auto& p) { return p->active(); });
}

std::vector<std::string> RegistrationDouble::CallNames() const
{
    std::vector<std::string> names;
    for (const auto& c : calls_) {
        names.push_back(c.fn);
    }
    return names;
}

bool RegistrationDouble::IsRegistered(const std::wstring& name) const
{
    return std::find(providers_.begin(), providers_.end(), name) != providers_.end();
}

const RegistrationCopy* RegistrationDouble::RegistrationOf(const std::wstring& name) const
{
    auto it = records_.find(name);
    return it != records_.end() ? &it->second : nullptr;
}

const std::vector<std::wstring>* RegistrationDouble::FunctionEntry(ULONG interfaceId, const std::wstring& function) const
{
    auto it = functions_.find({interfaceId, function});
    return it != functions_.end() ? &it->second : nullptr;
}

bool RegistrationDouble::Failing(const std::string& fn, NTSTATUS* status) const
{
    auto it = failures_.find(fn);
    if (it == failures_.end()) {
        return false;
    }
    *status = it->second;
    return true;
}

ConfigCall RegistrationDouble::ContextCall(const char* fn, ULONG table, LPCWSTR context, ULONG interfaceId,
                                           LPCWSTR function)
{
    ConfigCall call;
    call.fn = fn;
    call.table = table;
    call.contextNull = context == nullptr;
    call.context = Str(context);
    call.interfaceId = interfaceId;
    call.function = Str(function);
    return call;
}

NTSTATUS RegistrationDouble::Register(LPCWSTR provider, ULONG flags, PCRYPT_PROVIDER_REG reg)
{
    ConfigCall call;
    call.fn = "BCryptRegisterProvider";
    call.provider = Str(provider);
    call.flags = flags;
    if (reg != nullptr) {
        call.record = CopyRecord(reg);
    }
    calls_.push_back(call);

    NTSTATUS status = 0;
    if (Failing(call.fn, &status)) {
        return status;
    }
    if (provider == nullptr || reg == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsRegistered(call.provider)) {
        if ((flags & CRYPT_OVERWRITE) == 0) {
            return kStatusCollision;
        }
    } else {
        providers_.push_back(call.provider);
    }
    records_[call.provider] = call.record;
    return 0;
}

NTSTATUS RegistrationDouble::Unregister(LPCWSTR provider)
{
    ConfigCall call;
    call.fn = "BCryptUnregisterProvider";
    call.provider = Str(provider);
    calls_.push_back(call);

    NTSTATUS status = 0;
    if (Failing(call.fn, &status)) {
        return status;
    }
    auto it = std::find(providers_.begin(), providers_.end(), call.provider);
    if (it == providers_.end()) {
        return kStatusNotFound;
    }
    providers_.erase(it);
    records_.erase(call.provider);
    return 0;
}

NTSTATUS RegistrationDouble::AddFunction(ULONG table, LPCWSTR context, ULONG interfaceId, LPCWSTR function,
                                         ULONG position)
{
    ConfigCall call = ContextCall("BCryptAddContextFunction", table, context, interfaceId, function);
    call.position = position;
    calls_.push_back(call);

    NTSTATUS status = 0;
    if (Failing(call.fn, &status)) {
        return status;
    }
    // Only the local default context is modelled.
    if (table != CRYPT_LOCAL || context != nullptr || function == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    functions_.try_emplace({interfaceId, call.function});
    return 0;
}

NTSTATUS RegistrationDouble::AddFunctionProvider(ULONG table, LPCWSTR context, ULONG interfaceId, LPCWSTR function,
                                                 LPCWSTR provider, ULONG position)
{
    ConfigCall call = ContextCall("BCryptAddContextFunctionProvider", table, context, interfaceId, function);
    call.provider = Str(provider);
    call.position = position;
    calls_.push_back(call);

    NTSTATUS status = 0;
    if (Failing(call.fn, &status)) {
        return status;
    }
    if (table != CRYPT_LOCAL || context != nullptr || function == nullptr || provider == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto entry = functions_.find({interfaceId, call.function});
    if (entry == functions_.end()) {
        return kStatusNotFound;
    }
    auto& list = entry->second;
    if (std::find(list.begin(), list.end(), call.provider) == list.end()) {
        if (position == CRYPT_PRIORITY_BOTTOM || position >= list.size()) {
            list.push_back(call.provider);
        } else {
            list.insert(list.begin() + position, call.provider);
        }
    }
    return 0;
}

NTSTATUS RegistrationDouble::RemoveFunctionProvider(ULONG table, LPCWSTR context, ULONG interfaceId,
                                                    LPCWSTR function, LPCWSTR provider)
{
    ConfigCall call = ContextCall("BCryptRemoveContextFunctionProvider", table, context, interfaceId, function);
    call.provider = Str(provider);
    calls_.push_back(call);

    NTSTATUS status = 0;
    if (Failing(call.fn, &status)) {
        return status;
    }
    if (table != CRYPT_LOCAL || context != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto entry = functions_.find({interfaceId, call.function});
    if (entry == functions_.end()) {
        return kStatusNotFound;
    }
    auto& list = entry->second;
    auto it = std::find(list.begin(), list.end(), call.provider);
    if (it == list.end()) {
        return kStatusNotFound;
    }
    list.erase(it);
    return 0;
}

NTSTATUS RegistrationDouble::Enumerate(ULONG* size, PCRYPT_PROVIDERS* buffer)
{
    ConfigCall call;
    call.fn = "BCryptEnumRegisteredProviders";
    call.sizeIn = size != nullptr ? *size : 0xFFFFFFFFu;
    call.bufferInNull = buffer != nullptr && *buffer == nullptr;

    NTSTATUS status = 0;
    if (Failing(call.fn, &status)) {
        calls_.push_back(call);
        return status;
    }
    if (size == nullptr || buffer == nullptr) {
        calls_.push_back(call);
        return STATUS_INVALID_PARAMETER;
    }
    if (enumNoBuffer_) {
        *buffer = nullptr;
        *size = 0;
        calls_.push_back(call);
        return 0;
    }
    // One block as the platform lays it out: header, pointer array, strings.
    size_t bytes = sizeof(CRYPT_PROVIDERS) + providers_.size() * sizeof(PWSTR);
    for (const auto& name : providers_) {
        bytes += (name.size() + 1) * sizeof(wchar_t);
    }
    auto* block = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes));
    auto* list = reinterpret_cast<CRYPT_PROVIDERS*>(block);
    auto* names = reinterpret_cast<PWSTR*>(block + sizeof(CRYPT_PROVIDERS));
    auto* text = reinterpret_cast<wchar_t*>(names + providers_.size());
    list->cProviders = static_cast<ULONG>(providers_.size());
    list->rgpszProviders = names;
    for (size_t i = 0; i < providers_.size(); ++i) {
        names[i] = text;
        std::memcpy(text, providers_[i].c_str(), (providers_[i].size() + 1) * sizeof(wchar_t));
        text += providers_[i].size() + 1;
    }
    *buffer = list;
    *size = static_cast<ULONG>(bytes);
    outstanding_.push_back(block);
    call.buffer = block;
    calls_.push_back(call);
    return 0;
}

void RegistrationDouble::Free(PVOID buffer)
{
    ConfigCall call;
    call.fn = "BCryptFreeBuffer";
    call.buffer = buffer;
    calls_.push_back(call);
    auto it = std::find(outstanding_.begin(), outstanding_.end(), buffer);
    if (it != outstanding_.end()) {
        outstanding_.erase(it);
        HeapFree(GetProcessHeap(), 0, buffer);
    }
}

}  // namespace zt

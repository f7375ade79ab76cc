#include "provider_loader.h"

#include <gtest/gtest.h>

namespace zt {

LoadedProvider::LoadedProvider()
{
    module_ = LoadLibraryW(BesideExe(L"ZentravaKSP.dll").c_str());
    if (module_ == nullptr) {
        ADD_FAILURE() << "LoadLibrary(ZentravaKSP.dll) failed with " << GetLastError();
        return;
    }
    entry_ = reinterpret_cast<GetKeyStorageInterfaceFn>(
        reinterpret_cast<void*>(GetProcAddress(module_, "GetKeyStorageInterface")));
    if (entry_ == nullptr) {
        ADD_FAILURE() << "GetKeyStorageInterface is not exported";
        return;
    }
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE* table = nullptr;
    const NTSTATUS st = entry_(L"Zentrava Key Storage Provider", &table, 0);
    if (st != 0 || table == nullptr) {
        ADD_FAILURE() << "GetKeyStorageInterface returned " << std::hex << st;
        return;
    }
    table_ = table;
}

void LoadedProvider::Unload()
{
    if (module_ != nullptr) {
        FreeLibrary(module_);
        module_ = nullptr;
        table_ = nullptr;
        entry_ = nullptr;
    }
}

LoadedProvider::~LoadedProvider()
{
    Unload();
}

}  // namespace zt

// Loads ZentravaKSP.dll the way the CNG router does and hands out its table.
#pragma once

#include "child_process.h"  // BesideExe
#include "ksp_interface.h"

#include <windows.h>

#include <string>

namespace zt {

class LoadedProvider {
public:
    // Loads the DLL from the test's own folder; fails the test if it cannot.
    LoadedProvider();
    ~LoadedProvider();
    LoadedProvider(const LoadedProvider&) = delete;
    LoadedProvider& operator=(const LoadedProvider&) = delete;

    bool ok() const { return table_ != nullptr; }
    HMODULE module() const { return module_; }
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE& table() const { return *table_; }
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE* operator->() const { return table_; }
    GetKeyStorageInterfaceFn entry() const { return entry_; }
    // Unloads now (FreeLibrary), for tests of the unload path.
    void Unload();

private:
    HMODULE module_ = nullptr;
    GetKeyStorageInterfaceFn entry_ = nullptr;
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE* table_ = nullptr;
};

}  // namespace zt

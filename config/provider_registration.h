// The names and the registration record under which the provider is known to CNG.
#pragma once

#include <windows.h>

#include <bcrypt.h>

inline constexpr const wchar_t* kProviderName = L"Zentrava Key Storage Provider";
inline constexpr const wchar_t* kProviderImage = L"ZentravaKSP.dll";
inline constexpr const wchar_t* kKeyStorageFunction = L"KEY_STORAGE";
inline constexpr ULONG kKeyStorageInterface = 0x00010001;  // NCRYPT_KEY_STORAGE_INTERFACE

// User-mode image only, one interface, one function, no aliases.
extern const CRYPT_PROVIDER_REG kProviderRegistration;

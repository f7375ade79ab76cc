// CNG configuration functions that mingw-w64's bcrypt.h does not declare.
// libbcrypt.a exports all of them; the signatures are the documented ones.
#pragma once

#include <windows.h>

#include <bcrypt.h>

extern "C" {

DECLSPEC_IMPORT NTSTATUS WINAPI BCryptRegisterProvider(LPCWSTR pszProvider, ULONG dwFlags,
                                                       PCRYPT_PROVIDER_REG pReg);

DECLSPEC_IMPORT NTSTATUS WINAPI BCryptUnregisterProvider(LPCWSTR pszProvider);

DECLSPEC_IMPORT NTSTATUS WINAPI BCryptAddContextFunctionProvider(ULONG dwTable, LPCWSTR pszContext,
                                                                 ULONG dwInterface, LPCWSTR pszFunction,
                                                                 LPCWSTR pszProvider, ULONG dwPosition);

DECLSPEC_IMPORT NTSTATUS WINAPI BCryptRemoveContextFunctionProvider(ULONG dwTable, LPCWSTR pszContext,
                                                                    ULONG dwInterface, LPCWSTR pszFunction,
                                                                    LPCWSTR pszProvider);

}  // extern "C"

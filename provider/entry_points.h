// The provider's operations as they stand in the function table, each
// defined in the file named beside it.
#pragma once

#include "ksp_interface.h"

// Handles (provider_handle.cpp; free_key.cpp; key records in key_handle.cpp)
SECURITY_STATUS WINAPI OpenProvider(NCRYPT_PROV_HANDLE* phProvider, LPCWSTR pszProviderName, DWORD dwFlags);
SECURITY_STATUS WINAPI FreeProvider(NCRYPT_PROV_HANDLE hProvider);
SECURITY_STATUS WINAPI FreeKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey);

// Buffers handed to the router (free_buffer.cpp)
SECURITY_STATUS WINAPI FreeBuffer(PVOID pvInput);

// Operations the provider does not offer (not_supported.cpp)
SECURITY_STATUS WINAPI NotSupportedCreatePersistedKey(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE*, LPCWSTR, LPCWSTR, DWORD, DWORD);
SECURITY_STATUS WINAPI NotSupportedSetKeyProperty(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, LPCWSTR, PBYTE, DWORD, DWORD);
SECURITY_STATUS WINAPI NotSupportedFinalizeKey(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, DWORD);
SECURITY_STATUS WINAPI NotSupportedDeleteKey(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, DWORD);
SECURITY_STATUS WINAPI NotSupportedImportKey(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, LPCWSTR, NCryptBufferDesc*, NCRYPT_KEY_HANDLE*, PBYTE, DWORD, DWORD);
SECURITY_STATUS WINAPI NotSupportedPromptUser(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, LPCWSTR, DWORD);
SECURITY_STATUS WINAPI NotSupportedNotifyChangeKey(NCRYPT_PROV_HANDLE, HANDLE*, DWORD);
SECURITY_STATUS WINAPI NotSupportedSecretAgreement(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, NCRYPT_KEY_HANDLE, NCRYPT_SECRET_HANDLE*, DWORD);
SECURITY_STATUS WINAPI NotSupportedDeriveKey(NCRYPT_PROV_HANDLE, NCRYPT_SECRET_HANDLE, LPCWSTR, NCryptBufferDesc*, PUCHAR, DWORD, DWORD*, ULONG);
SECURITY_STATUS WINAPI NotSupportedFreeSecret(NCRYPT_PROV_HANDLE, NCRYPT_SECRET_HANDLE);

// The table handed out by GetKeyStorageInterface (function_table.cpp)
extern const NCRYPT_KEY_STORAGE_FUNCTION_TABLE g_keyStorageFunctionTable;

// Key operations (open_key.cpp, sign_hash.cpp, decrypt.cpp, encrypt.cpp,
// verify_signature.cpp, export_key.cpp)
SECURITY_STATUS WINAPI OpenKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE* phKey, LPCWSTR pszKeyName, DWORD dwLegacyKeySpec, DWORD dwFlags);
SECURITY_STATUS WINAPI SignHash(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, VOID* pPaddingInfo, PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature, DWORD cbSignature, DWORD* pcbResult, DWORD dwFlags);
SECURITY_STATUS WINAPI Decrypt(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, PBYTE pbInput, DWORD cbInput, VOID* pPaddingInfo, PBYTE pbOutput, DWORD cbOutput, DWORD* pcbResult, DWORD dwFlags);
SECURITY_STATUS WINAPI Encrypt(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, PBYTE pbInput, DWORD cbInput, VOID* pPaddingInfo, PBYTE pbOutput, DWORD cbOutput, DWORD* pcbResult, DWORD dwFlags);
SECURITY_STATUS WINAPI VerifySignature(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, VOID* pPaddingInfo, PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature, DWORD cbSignature, DWORD dwFlags);
SECURITY_STATUS WINAPI ExportKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, NCRYPT_KEY_HANDLE hExportKey, LPCWSTR pszBlobType, NCryptBufferDesc* pParameterList, PBYTE pbOutput, DWORD cbOutput, DWORD* pcbResult, DWORD dwFlags);

// Provider properties and algorithm queries (provider_properties.cpp, algorithms.cpp)
SECURITY_STATUS WINAPI GetProviderProperty(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszProperty, PBYTE pbOutput, DWORD cbOutput, DWORD* pcbResult, DWORD dwFlags);
SECURITY_STATUS WINAPI SetProviderProperty(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszProperty, PBYTE pbInput, DWORD cbInput, DWORD dwFlags);
SECURITY_STATUS WINAPI IsAlgSupported(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszAlgId, DWORD dwFlags);
SECURITY_STATUS WINAPI EnumAlgorithms(NCRYPT_PROV_HANDLE hProvider, DWORD dwAlgOperations, DWORD* pdwAlgCount, NCryptAlgorithmName** ppAlgList, DWORD dwFlags);

// Key properties (key_properties.cpp)
SECURITY_STATUS WINAPI GetKeyProperty(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, LPCWSTR pszProperty, PBYTE pbOutput, DWORD cbOutput, DWORD* pcbResult, DWORD dwFlags);

// Child process for the concurrent first-exchange test: loads the provider,
// waits for the start signal, opens the key (its first exchange) and signs
// with it. Exit code 0 when both succeeded; the statuses go to stdout.
#include "provider_loader.h"

#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::printf("usage: exchange_probe <start event> <key name>\n");
        return 2;
    }
    zt::LoadedProvider provider;
    if (!provider.ok()) {
        return 3;
    }
    HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, argv[1]);
    if (go == nullptr || WaitForSingleObject(go, 60000) != WAIT_OBJECT_0) {
        std::printf("no start signal\n");
        return 4;
    }
    CloseHandle(go);
    NCRYPT_PROV_HANDLE prov = 0;
    NCRYPT_KEY_HANDLE key = 0;
    SECURITY_STATUS open = provider->OpenProvider(&prov, L"Zentrava Key Storage Provider", 0);
    if (open == 0) {
        open = provider->OpenKey(prov, &key, argv[2], 0, 0);
    }
    SECURITY_STATUS sign = -1;
    if (open == 0) {
        BYTE hash[32] = {1, 2, 3};
        BYTE signature[512];
        DWORD size = 0;
        BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
        sign = provider->SignHash(prov, key, &padding, hash, sizeof hash, signature, sizeof signature, &size,
                                  NCRYPT_PAD_PKCS1_FLAG);
        provider->FreeKey(prov, key);
    }
    if (prov != 0) {
        provider->FreeProvider(prov);
    }
    std::printf("open 0x%08lx sign 0x%08lx\n", static_cast<unsigned long>(open), static_cast<unsigned long>(sign));
    return open == 0 && sign == 0 ? 0 : 1;
}

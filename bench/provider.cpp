// The provider as the benchmark loads it (the DLL beside the executable, as
// the CNG router would: GetKeyStorageInterface and the function table), and
// the fixed inputs every item uses. Shared by both benchmark programs.
#include "bench.h"
#include "child_process.h"  // BesideExe

#include <cstdio>
#include <cstring>

namespace bench {

const wchar_t* KeyName(ULONG bits)
{
    return bits == 2048 ? L"bench-rsa2048" : bits == 3072 ? L"bench-rsa3072" : L"bench-rsa4096";
}

void FixedHash(BYTE out[32])
{
    for (int i = 0; i < 32; ++i) {
        out[i] = static_cast<BYTE>(0x5A ^ (i * 7));
    }
}

bool Provider::Load()
{
    module = LoadLibraryW(zt::BesideExe(L"ZentravaKSP.dll").c_str());
    if (module == nullptr) {
        std::printf("cannot load ZentravaKSP.dll (%lu)\n", GetLastError());
        return false;
    }
    auto entry = reinterpret_cast<GetKeyStorageInterfaceFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "GetKeyStorageInterface")));
    if (entry == nullptr || entry(L"Zentrava Key Storage Provider", &t, 0) != 0 || t == nullptr) {
        std::printf("GetKeyStorageInterface failed\n");
        return false;
    }
    if (t->OpenProvider(&prov, L"Zentrava Key Storage Provider", 0) != 0) {
        std::printf("OpenProvider failed\n");
        return false;
    }
    return true;
}

NCRYPT_KEY_HANDLE Provider::Open(const wchar_t* name) const
{
    NCRYPT_KEY_HANDLE k = 0;
    const SECURITY_STATUS st = t->OpenKey(prov, &k, name, 0, 0);
    if (st != 0) {
        std::printf("OpenKey(%ls) failed 0x%08lx\n", name, static_cast<unsigned long>(st));
        return 0;
    }
    return k;
}

SECURITY_STATUS Provider::SignFixedHash(NCRYPT_KEY_HANDLE key) const
{
    static const struct Fixed {
        BYTE hash[32];
        Fixed() { FixedHash(hash); }
    } fixed;
    BYTE hash[32];
    memcpy(hash, fixed.hash, sizeof(hash));
    BCRYPT_PKCS1_PADDING_INFO pkcs1{BCRYPT_SHA256_ALGORITHM};
    BYTE signature[512];
    DWORD written = 0;
    return t->SignHash(prov, key, &pkcs1, hash, sizeof(hash), signature, sizeof(signature), &written,
                       NCRYPT_PAD_PKCS1_FLAG);
}

}  // namespace bench

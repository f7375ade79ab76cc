// Item 2: operations that go to the service, end to end against their floor,
// the same BCrypt call on the same private key made in this process.
#include "bench.h"
#include "private_key.h"
#include "unique_resource.h"

#include <cstdio>

namespace bench {

namespace {

int Reps(const Settings& s, ULONG bits)
{
    if (s.quick) {
        return 15;
    }
    return bits == 2048 ? 501 : bits == 3072 ? 301 : 151;
}

template <typename A, typename B>
bool Measure(const char* name, const char* floorName, int reps, A&& endToEnd, B&& floorOp, Results* r)
{
    Paired p;
    if (!Alternate(endToEnd, floorOp, reps, 1, &p)) {
        std::printf("remote %s: a call failed\n", name);
        return false;
    }
    r->remote.push_back({name, floorName, Summarize(p.a), Summarize(p.b)});
    const PairRow& row = r->remote.back();
    std::printf("remote %-24s e2e %9.1f us  floor %9.1f us  overhead %8.1f us\n", name, row.a.median, row.b.median,
                row.a.median - row.b.median);
    return true;
}

bool MeasureKey(const Settings& s, const Provider& pv, ULONG bits, Results* r)
{
    const auto* t = pv.t;
    PrivateKey priv;
    if (!priv.Load(KeyName(bits))) {
        std::printf("remote: cannot load the private key of %ls\n", KeyName(bits));
        return false;
    }
    NCRYPT_KEY_HANDLE k = pv.Open(KeyName(bits));
    if (k == 0) {
        return false;
    }
    BYTE hash[32];
    FixedHash(hash);
    BCRYPT_PKCS1_PADDING_INFO pkcs1{BCRYPT_SHA256_ALGORITHM};
    BYTE sig[512];
    DWORD got = 0;
    char name[64];
    std::snprintf(name, sizeof(name), "SignHash RSA-%lu", bits);
    bool ok = Measure(
        name, "BCryptSignHash", Reps(s, bits),
        [&] {
            return pv.SignFixedHash(k) == 0;
        },
        [&] {
            ULONG n = 0;
            return BCryptSignHash(priv.key.get(), &pkcs1, hash, 32, sig, sizeof(sig), &n, BCRYPT_PAD_PKCS1) == 0;
        },
        r);

    BYTE ct[512];
    DWORD ctLength = 0;
    BYTE plain[512];
    if (ok && t->Encrypt(pv.prov, k, hash, 32, nullptr, ct, sizeof(ct), &ctLength, NCRYPT_PAD_PKCS1_FLAG) != 0) {
        std::printf("remote: Encrypt failed\n");
        ok = false;
    }
    std::snprintf(name, sizeof(name), "Decrypt RSA-%lu", bits);
    ok = ok && Measure(
                   name, "BCryptDecrypt", Reps(s, bits),
                   [&] {
                       return t->Decrypt(pv.prov, k, ct, ctLength, nullptr, plain, sizeof(plain), &got,
                                         NCRYPT_PAD_PKCS1_FLAG) == 0 &&
                              got == 32;
                   },
                   [&] {
                       ULONG n = 0;
                       return BCryptDecrypt(priv.key.get(), ct, ctLength, nullptr, nullptr, 0, plain, sizeof(plain), &n,
                                            BCRYPT_PAD_PKCS1) == 0 &&
                              n == 32;
                   },
                   r);
    t->FreeKey(pv.prov, k);
    return ok;
}

}  // namespace

bool RunRemote(const Settings& s, const Provider& pv, Results* r)
{
    for (ULONG bits : {2048ul, 3072ul, 4096ul}) {
        if (!MeasureKey(s, pv, bits, r)) {
            return false;
        }
    }
    // OpenKey fetches the public blob and imports it; its floor is the import.
    PrivateKey priv;
    if (!priv.Load(KeyName(2048))) {
        return false;
    }
    UniqueBcryptAlgorithm rsa;
    if (BCryptOpenAlgorithmProvider(rsa.Put(), BCRYPT_RSA_ALGORITHM, nullptr, 0) < 0) {
        rsa.Forget();
        return false;
    }
    const auto* t = pv.t;
    const bool ok = Measure(
        "OpenKey RSA-2048 (+FreeKey)", "BCryptImportKeyPair (+Destroy)", s.quick ? 15 : 501,
        [&] {
            NCRYPT_KEY_HANDLE k = 0;
            if (t->OpenKey(pv.prov, &k, KeyName(2048), 0, 0) != 0) {
                return false;
            }
            return t->FreeKey(pv.prov, k) == 0;
        },
        [&] {
            BCRYPT_KEY_HANDLE key = nullptr;
            // Destroyed by hand: the destroy is part of what is measured.
            if (BCryptImportKeyPair(rsa.get(), nullptr, BCRYPT_RSAPUBLIC_BLOB, &key, priv.publicBlob.data(),
                                    static_cast<ULONG>(priv.publicBlob.size()), 0) < 0) {
                return false;
            }
            return BCryptDestroyKey(key) == 0;
        },
        r);
    return ok;
}

}  // namespace bench

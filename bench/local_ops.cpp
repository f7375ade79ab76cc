// Item 1: operations that run on the imported public key, through the
// provider's table against the same BCrypt call made here on the same key.
#include "bench.h"

#include "unique_resource.h"

#include <cstdio>
#include <cstring>

namespace bench {

namespace {

constexpr int kTargetBatchUs = 400;

// The provider is declared first, so it is closed after the keys.
struct DirectKeys {
    UniqueBcryptAlgorithm rsa;
    UniqueBcryptKey pkcs1;
    UniqueBcryptKey pss;
};

// Batch size so that one batch of `side` takes about kTargetBatchUs.
template <typename F>
int BatchFor(F& side)
{
    const double t0 = NowUs();
    int n = 0;
    while (NowUs() - t0 < 2000 && n < 100000) {
        side();
        ++n;
    }
    const double per = (NowUs() - t0) / n;
    int batch = static_cast<int>(kTargetBatchUs / per);
    return batch < 1 ? 1 : batch;
}

template <typename A, typename B>
bool Measure(const Settings& s, const char* name, const char* baseline, A&& provider, B&& direct, Results* r)
{
    const int batch = BatchFor(provider);
    Paired p;
    if (!Alternate(provider, direct, s.quick ? 41 : 801, batch, &p)) {
        std::printf("local %s: a call failed\n", name);
        return false;
    }
    r->local.push_back({name, baseline, Summarize(p.a), Summarize(p.b)});
    std::printf("local %-28s provider %8.2f us  direct %8.2f us  ratio %.3f (batch %d)\n", name,
                r->local.back().a.median, r->local.back().b.median,
                r->local.back().a.median / r->local.back().b.median, batch);
    return true;
}

}  // namespace

bool RunLocal(const Settings& s, const Provider& pv, Results* r)
{
    const auto* t = pv.t;
    // Separate handles per padding on both sides: Wine's BCrypt restricts an
    // imported key after a PSS verify, and PKCS#1 encryption on it fails.
    NCRYPT_KEY_HANDLE kPkcs1 = pv.Open(KeyName(2048));
    NCRYPT_KEY_HANDLE kPss = pv.Open(KeyName(2048));
    if (kPkcs1 == 0 || kPss == 0) {
        return false;
    }
    BYTE blob[1024];
    DWORD blobLength = 0;
    if (t->ExportKey(pv.prov, kPkcs1, 0, BCRYPT_RSAPUBLIC_BLOB, nullptr, blob, sizeof(blob), &blobLength, 0) != 0) {
        std::printf("local: ExportKey failed\n");
        return false;
    }
    DirectKeys d;
    if (BCryptOpenAlgorithmProvider(d.rsa.Put(), BCRYPT_RSA_ALGORITHM, nullptr, 0) < 0 ||
        BCryptImportKeyPair(d.rsa.get(), nullptr, BCRYPT_RSAPUBLIC_BLOB, d.pkcs1.Put(), blob, blobLength, 0) < 0 ||
        BCryptImportKeyPair(d.rsa.get(), nullptr, BCRYPT_RSAPUBLIC_BLOB, d.pss.Put(), blob, blobLength, 0) < 0) {
        std::printf("local: cannot import the public key here\n");
        return false;
    }
    BYTE hash[32];
    FixedHash(hash);
    BCRYPT_PKCS1_PADDING_INFO pkcs1{BCRYPT_SHA256_ALGORITHM};
    BCRYPT_PSS_PADDING_INFO pss{BCRYPT_SHA256_ALGORITHM, 32};
    BYTE sigPkcs1[512];
    BYTE sigPss[512];
    DWORD sigPkcs1Length = 0;
    DWORD sigPssLength = 0;
    if (t->SignHash(pv.prov, kPkcs1, &pkcs1, hash, 32, sigPkcs1, sizeof(sigPkcs1), &sigPkcs1Length,
                    NCRYPT_PAD_PKCS1_FLAG) != 0 ||
        t->SignHash(pv.prov, kPss, &pss, hash, 32, sigPss, sizeof(sigPss), &sigPssLength, NCRYPT_PAD_PSS_FLAG) != 0) {
        std::printf("local: the service did not sign\n");
        return false;
    }

    bool ok = true;
    ok = ok && Measure(
                   s, "VerifySignature PKCS#1 v1.5", "BCryptVerifySignature",
                   [&] {
                       return t->VerifySignature(pv.prov, kPkcs1, &pkcs1, hash, 32, sigPkcs1, sigPkcs1Length,
                                                 NCRYPT_PAD_PKCS1_FLAG) == 0;
                   },
                   [&] {
                       return BCryptVerifySignature(d.pkcs1.get(), &pkcs1, hash, 32, sigPkcs1, sigPkcs1Length,
                                                    BCRYPT_PAD_PKCS1) == 0;
                   },
                   r);
    ok = ok && Measure(
                   s, "VerifySignature PSS", "BCryptVerifySignature",
                   [&] {
                       return t->VerifySignature(pv.prov, kPss, &pss, hash, 32, sigPss, sigPssLength,
                                                 NCRYPT_PAD_PSS_FLAG) == 0;
                   },
                   [&] {
                       return BCryptVerifySignature(d.pss.get(), &pss, hash, 32, sigPss, sigPssLength, BCRYPT_PAD_PSS) == 0;
                   },
                   r);
    BYTE out[1024];
    DWORD got = 0;
    ok = ok && Measure(
                   s, "Encrypt PKCS#1 v1.5 (32 bytes)", "BCryptEncrypt",
                   [&] {
                       return t->Encrypt(pv.prov, kPkcs1, hash, 32, nullptr, out, sizeof(out), &got,
                                         NCRYPT_PAD_PKCS1_FLAG) == 0;
                   },
                   [&] {
                       ULONG n = 0;
                       return BCryptEncrypt(d.pkcs1.get(), hash, 32, nullptr, nullptr, 0, out, sizeof(out), &n,
                                            BCRYPT_PAD_PKCS1) == 0;
                   },
                   r);
    ok = ok && Measure(
                   s, "ExportKey RSAPUBLICBLOB", "BCryptExportKey",
                   [&] {
                       return t->ExportKey(pv.prov, kPkcs1, 0, BCRYPT_RSAPUBLIC_BLOB, nullptr, out, sizeof(out), &got,
                                           0) == 0;
                   },
                   [&] {
                       ULONG n = 0;
                       return BCryptExportKey(d.pkcs1.get(), nullptr, BCRYPT_RSAPUBLIC_BLOB, out, sizeof(out), &n, 0) == 0;
                   },
                   r);

    // Property reads: the provider answers from its handle; the direct side
    // is BCrypt's own property read. Wine answers no "KeyLength" (nor any
    // other property) on an RSA key handle, so the first property it answers,
    // key handle before algorithm handle, is used and named in the report.
    const wchar_t* keyProperty = nullptr;
    BCRYPT_HANDLE keyPropertyHandle = nullptr;
    const wchar_t* candidates[] = {BCRYPT_KEY_LENGTH, BCRYPT_KEY_STRENGTH, BCRYPT_BLOCK_LENGTH, BCRYPT_ALGORITHM_NAME};
    for (BCRYPT_HANDLE h : {static_cast<BCRYPT_HANDLE>(d.pkcs1.get()), static_cast<BCRYPT_HANDLE>(d.rsa.get())}) {
        for (const wchar_t* candidate : candidates) {
            BYTE probe[64];
            ULONG n = 0;
            const NTSTATUS st = BCryptGetProperty(h, candidate, probe, sizeof(probe), &n, 0);
            std::printf("probe %s %ls: 0x%08lx\n", h == d.rsa.get() ? "alg" : "key", candidate,
                        static_cast<unsigned long>(st));
            if (st == 0 && keyProperty == nullptr) {
                keyProperty = candidate;
                keyPropertyHandle = h;
            }
        }
    }
    if (keyProperty == nullptr) {
        std::printf("local: BCrypt answers no property of RSA handles here\n");
        return false;
    }
    char keyBaseline[96];
    std::snprintf(keyBaseline, sizeof(keyBaseline), "BCryptGetProperty(%s, \"%ls\")",
                  keyPropertyHandle == d.rsa.get() ? "RSA algorithm" : "key", keyProperty);
    ok = ok && Measure(
                   s, "GetKeyProperty \"Length\"", keyBaseline,
                   [&] {
                       return t->GetKeyProperty(pv.prov, kPkcs1, NCRYPT_LENGTH_PROPERTY, out, sizeof(out), &got, 0) ==
                              0;
                   },
                   [&] {
                       ULONG n = 0;
                       return BCryptGetProperty(keyPropertyHandle, keyProperty, out, sizeof(out), &n, 0) == 0;
                   },
                   r);
    ok = ok && Measure(
                   s, "GetProviderProperty \"Name\"", "BCryptGetProperty(RSA algorithm, \"AlgorithmName\")",
                   [&] {
                       return t->GetProviderProperty(pv.prov, NCRYPT_NAME_PROPERTY, out, sizeof(out), &got, 0) == 0;
                   },
                   [&] {
                       ULONG n = 0;
                       return BCryptGetProperty(d.rsa.get(), BCRYPT_ALGORITHM_NAME, out, sizeof(out), &n, 0) == 0;
                   },
                   r);
    t->FreeKey(pv.prov, kPkcs1);
    t->FreeKey(pv.prov, kPss);
    return ok;
}

}  // namespace bench

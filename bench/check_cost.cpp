// What the checks against an impostor add to each remote operation: the
// check of a returned signature with the key's public half (PKCS#1 on the
// key handle itself; PSS on a fresh import of its public half), and the
// check of who serves the pipe (both token users read and compared), set
// beside the SignHash figures of item 2.
#include "bench.h"

#include "caller_user.h"
#include "pipe_pair.h"
#include "pipe_server_user.h"
#include "private_key.h"
#include "unique_resource.h"
#include "user_pipe_name.h"

#include <cstdio>

namespace bench {

namespace {

int Reps(const Settings& s)
{
    return s.quick ? 41 : 801;
}

bool MeasureOne(const Settings& s, const char* name, bool (*op)(void*), void* context, Results* r)
{
    // Alternate needs two sides; the same call on both gives twice the samples.
    auto side = [&] { return op(context); };
    Paired p;
    if (!Alternate(side, side, Reps(s), 4, &p)) {
        std::printf("check cost %s: a call failed\n", name);
        return false;
    }
    p.a.insert(p.a.end(), p.b.begin(), p.b.end());
    r->checkCosts.push_back({name, Summarize(p.a)});
    std::printf("check %-52s %8.1f us\n", name, r->checkCosts.back().time.median);
    return true;
}

struct SignedHash {
    UniqueBcryptAlgorithm rsa;
    UniqueBcryptKey publicKey;  // imported as OpenKey does
    BYTE hash[32] = {};
    BYTE pkcs1[512] = {};
    BYTE pss[512] = {};
    ULONG length = 0;
};

bool VerifyPkcs1(void* context)
{
    auto* k = static_cast<SignedHash*>(context);
    BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
    return BCryptVerifySignature(k->publicKey.get(), &padding, k->hash, 32, k->pkcs1, k->length, BCRYPT_PAD_PKCS1) ==
           0;
}

// As the provider does for PSS: export the public half, import it, verify, destroy.
bool VerifyPssOnCopy(void* context)
{
    auto* k = static_cast<SignedHash*>(context);
    BYTE blob[1024];
    ULONG size = 0;
    UniqueBcryptKey copy;
    if (BCryptExportKey(k->publicKey.get(), nullptr, BCRYPT_RSAPUBLIC_BLOB, nullptr, 0, &size, 0) < 0 ||
        size > sizeof(blob) ||
        BCryptExportKey(k->publicKey.get(), nullptr, BCRYPT_RSAPUBLIC_BLOB, blob, size, &size, 0) < 0 ||
        BCryptImportKeyPair(k->rsa.get(), nullptr, BCRYPT_RSAPUBLIC_BLOB, copy.Put(), blob, size, 0) < 0) {
        copy.Forget();
        return false;
    }
    BCRYPT_PSS_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM, 32};
    return BCryptVerifySignature(copy.get(), &padding, k->hash, 32, k->pss, k->length, BCRYPT_PAD_PSS) == 0;
}

bool MeasureKey(const Settings& s, ULONG bits, Results* r)
{
    PrivateKey priv;
    SignedHash k;
    FixedHash(k.hash);
    BCRYPT_PKCS1_PADDING_INFO pkcs1{BCRYPT_SHA256_ALGORITHM};
    BCRYPT_PSS_PADDING_INFO pss{BCRYPT_SHA256_ALGORITHM, 32};
    ULONG pssLength = 0;
    bool ok = priv.Load(KeyName(bits)) &&
              BCryptOpenAlgorithmProvider(k.rsa.Put(), BCRYPT_RSA_ALGORITHM, nullptr, 0) >= 0 &&
              BCryptImportKeyPair(k.rsa.get(), nullptr, BCRYPT_RSAPUBLIC_BLOB, k.publicKey.Put(),
                                  priv.publicBlob.data(), static_cast<ULONG>(priv.publicBlob.size()), 0) >= 0 &&
              BCryptSignHash(priv.key.get(), &pkcs1, k.hash, 32, k.pkcs1, sizeof(k.pkcs1), &k.length,
                             BCRYPT_PAD_PKCS1) >= 0;
    // PSS last: under Wine the private key then makes no more PKCS#1 signatures.
    ok = ok &&
         BCryptSignHash(priv.key.get(), &pss, k.hash, 32, k.pss, sizeof(k.pss), &pssLength, BCRYPT_PAD_PSS) >= 0 &&
         pssLength == k.length;
    if (!ok) {
        std::printf("check cost: cannot set up RSA-%lu\n", bits);
    }
    char name[96];
    std::snprintf(name, sizeof(name), "signature check, PKCS#1 v1.5, RSA-%lu", bits);
    ok = ok && MeasureOne(s, name, VerifyPkcs1, &k, r);
    std::snprintf(name, sizeof(name), "signature check, PSS on a fresh import, RSA-%lu", bits);
    ok = ok && MeasureOne(s, name, VerifyPssOnCopy, &k, r);
    return ok;
}

bool CheckServerUser(void* context)
{
    return PipeServerIsCallersUser(static_cast<zt::PipePair*>(context)->client);
}

// What the user's own pipe name adds to every exchange: the caller's token
// read and the name formatted, and (with a service of an earlier version)
// the open of that name, which finds no pipe.
bool DeriveOwnPipeName(void*)
{
    TokenUserRecord user;
    UserPipeName name;
    return ReadCallerUser(&user) && FormatUserPipeName(user.sid(), &name);
}

bool OpenUnservedName(void*)
{
    const HANDLE pipe = CreateFileA("\\\\.\\pipe\\ZentravaPipe.S-1-5-21-1-2-3-4", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                    nullptr);
    if (pipe != INVALID_HANDLE_VALUE) {
        CloseHandle(pipe);
        return false;
    }
    return GetLastError() == ERROR_FILE_NOT_FOUND;
}

}  // namespace

bool RunCheckCost(const Settings& s, Results* r)
{
    for (ULONG bits : {2048ul, 3072ul, 4096ul}) {
        if (!MeasureKey(s, bits, r)) {
            return false;
        }
    }
    // The server end of a private pipe in this process: the same calls as
    // against the service, without its scheduling.
    zt::PipePair p(L"\\\\.\\pipe\\ZentravaBenchServerUser");
    if (!p.ok()) {
        std::printf("check cost: no pipe pair\n");
        return false;
    }
    return MeasureOne(s, "who serves the pipe (both token users compared)", CheckServerUser, &p, r) &&
           MeasureOne(s, "the user's own pipe name (caller's token user read, SID formatted)", DeriveOwnPipeName,
                      nullptr, r) &&
           MeasureOne(s, "a failed open of the user's name (no service of that name)", OpenUnservedName, nullptr, r);
}

void WriteCheckCosts(FILE* f, const Results& r)
{
    if (r.checkCosts.empty()) {
        return;
    }
    std::fprintf(f, "\n## Checks against an impostor on the pipe\n\n");
    std::fprintf(f, "What `SignHash` adds to every exchange to check the returned signature with the key's public "
                    "half (PKCS#1 v1.5 on the key handle; PSS on a fresh import of its public half, which keeps "
                    "Wine's PSS restriction off the caller's handle), what every exchange adds to check that "
                    "the pipe's server runs as the caller's user, and to find the user's own pipe (its name from "
                    "the caller's token, and the open that finds no pipe of that name when only a service of an "
                    "earlier version runs, before the machine-wide name is opened). Measured here on the same keys, in batches of 4; "
                    "µs per call, median (p10–p90); share = median / median end-to-end `SignHash` of item 2 for "
                    "that key.\n\n");
    std::fprintf(f, "| check | time | share of SignHash |\n|---|---:|---:|\n");
    for (const StepRow& row : r.checkCosts) {
        const PairRow* sign = nullptr;
        for (const PairRow& remote : r.remote) {
            const size_t at = row.name.rfind("RSA-");
            if (at != std::string::npos && remote.name == "SignHash " + row.name.substr(at)) {
                sign = &remote;
            }
            if (at == std::string::npos && remote.name == "SignHash RSA-2048") {
                sign = &remote;
            }
        }
        char share[32] = "—";
        if (sign != nullptr && sign->a.median > 0) {
            std::snprintf(share, sizeof(share), "%.1f %%", 100.0 * row.time.median / sign->a.median);
        }
        std::fprintf(f, "| %s | %.1f (%.1f–%.1f) | %s |\n", row.name.c_str(), row.time.median, row.time.p10,
                     row.time.p90, share);
    }
}

}  // namespace bench

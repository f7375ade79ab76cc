// The service's own share of an exchange beyond the private-key operation:
// its request handling (key lookup, parsing, reply block) run here, in this
// process, on the same key files, against the bare BCryptSignHash.
#include "bench.h"
#include "private_key.h"

#include "key_store.h"
#include "request_handler.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace bench {

namespace {

// Request plaintext of code 2: code, n, then D, hash, L, name, flags.
std::vector<BYTE> SignRequest(const wchar_t* name, const BYTE hash[32])
{
    const uint32_t nameBytes = static_cast<uint32_t>(2 * wcslen(name));
    const uint32_t n = 32 + nameBytes + 12;
    std::vector<BYTE> p(size_t{8} + n);  // in size_t: the length cannot wrap to 0
    PutU32(p.data(), kRequestSignHash);
    PutU32(p.data() + 4, n);
    PutU32(p.data() + 8, 32);
    std::memcpy(p.data() + 12, hash, 32);
    PutU32(p.data() + 44, nameBytes);
    for (uint32_t i = 0; i < nameBytes / 2; ++i) {
        p[48 + 2 * i] = static_cast<BYTE>(name[i] & 0xFF);
        p[48 + 2 * i + 1] = static_cast<BYTE>(name[i] >> 8);
    }
    PutU32(p.data() + 48 + nameBytes, NCRYPT_PAD_PKCS1_FLAG);
    return p;
}

}  // namespace

bool RunServiceSide(const Settings& s, Results* r)
{
    PrivateKey priv;
    if (!priv.Load(KeyName(2048))) {
        return false;
    }
    BYTE hash[32];
    FixedHash(hash);
    const std::vector<BYTE> request = SignRequest(KeyName(2048), hash);
    KeyCache cache;
    BCRYPT_PKCS1_PADDING_INFO pkcs1{BCRYPT_SHA256_ALGORITHM};
    BYTE sig[512];
    const int reps = s.quick ? 21 : 401;

    Paired handled;
    bool ok = Alternate(
        [&] {
            Reply reply;
            RequestSummary summary;
            HandleRequest(&cache, request.data(), request.size(), &reply, &summary);
            return reply.status == 0 && reply.payloadLength == 256;
        },
        [&] {
            ULONG n = 0;
            return BCryptSignHash(priv.key, &pkcs1, hash, 32, sig, sizeof(sig), &n, BCRYPT_PAD_PKCS1) == 0;
        },
        reps, 1, &handled);
    if (!ok) {
        std::printf("service side: request handling failed\n");
        return false;
    }
    r->service.push_back({"request handling, sign RSA-2048", "BCryptSignHash", Summarize(handled.a),
                          Summarize(handled.b)});

    // The one file-system call per request: the key file's stamp, checked so
    // that a key deleted or replaced on disk is noticed.
    Paired stat;
    ok = Alternate(
        [&] {
            KeyFileStamp stamp;
            return StatKeyFile(KeyName(2048), &stamp) == StoreResult::Ok;
        },
        [&] {
            std::shared_ptr<CachedKey> key;
            return FindKey(&cache, KeyName(2048), &key) == StoreResult::Ok;
        },
        reps, 20, &stat);
    if (!ok) {
        return false;
    }
    r->service.push_back({"key file stamp check (StatKeyFile)", "FindKey (stamp check + cache)",
                          Summarize(stat.a), Summarize(stat.b)});
    for (const PairRow& row : r->service) {
        std::printf("service %-40s %9.1f us   vs %-30s %9.1f us\n", row.name.c_str(), row.a.median,
                    row.baseline.c_str(), row.b.median);
    }
    return true;
}

}  // namespace bench

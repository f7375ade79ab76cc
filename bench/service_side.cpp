// The service's own share of an exchange beyond the private-key operation:
// its request handling (key lookup, parsing, reply block) run here, in this
// process, on the same key files, against the bare BCryptSignHash.
#include "bench.h"
#include "private_key.h"

#include "key_store.h"
#include "payloads.h"
#include "utf16_text.h"
#include "plaintexts.h"
#include "request_handler.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace bench {

namespace {

// Request plaintext of code 2, made by the wire library's encoders.
std::vector<BYTE> SignRequest(const wchar_t* name, const BYTE hash[32])
{
    HeapBlock payload;
    HeapBlock request;
    const std::u16string wireName = ToUtf16(name);
    if (EncodeOperationPayload({hash, 32}, wireName, NCRYPT_PAD_PKCS1_FLAG, &payload) != 0 ||
        EncodeRequest(kRequestSignHash, {payload.get(), payload.size()}, &request) != 0) {
        return {};
    }
    return std::vector<BYTE>(request.get(), request.get() + request.size());
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
            return BCryptSignHash(priv.key.get(), &pkcs1, hash, 32, sig, sizeof(sig), &n, BCRYPT_PAD_PKCS1) == 0;
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

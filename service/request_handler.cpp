#include "request_handler.h"

#include "key_operation_flags.h"
#include "rsa_key.h"

#include <ncrypt.h>

namespace {

// Longest key name accepted on the wire; longer ones cannot name a key.
constexpr DWORD kMaxNameBytes = 1024;

std::wstring NameFromWire(const BYTE* p, DWORD bytes)
{
    std::wstring name(bytes / 2, L'\0');
    for (size_t i = 0; i < name.size(); ++i) {
        name[i] = static_cast<wchar_t>(p[2 * i] | (p[2 * i + 1] << 8));
    }
    return name;
}

struct Operation {
    const BYTE* data = nullptr;
    DWORD dataLength = 0;
    DWORD flags = 0;
};

// Operation payload: D, data, L, name, flags; exactly D + L + 12 bytes.
bool ParseOperation(const BYTE* p, DWORD n, Operation* op, RequestSummary* summary)
{
    if (n < 12) {
        return false;
    }
    DWORD d = GetU32(p);
    if (d > n - 12) {
        return false;
    }
    DWORD l = GetU32(p + 4 + d);
    if (l != n - 12 - d || l % 2 != 0 || l > kMaxNameBytes) {
        return false;
    }
    op->data = p + 4;
    op->dataLength = d;
    summary->keyName = NameFromWire(p + 8 + d, l);
    summary->hasKeyName = true;
    op->flags = GetU32(p + 8 + d + l);
    return true;
}

void Fail(Reply* reply, RequestSummary* summary, DWORD status, const char* outcome)
{
    reply->status = status;
    reply->payload.Reset();
    reply->payloadLength = 0;
    summary->outcome = outcome;
}

bool FindOrFail(KeyCache* cache, const std::wstring& name, std::shared_ptr<CachedKey>* key,
                Reply* reply, RequestSummary* summary)
{
    switch (FindKey(cache, name, key)) {
    case StoreResult::Ok:
        return true;
    case StoreResult::NotFound:
    case StoreResult::BadName:
        Fail(reply, summary, kReplyUnknownKey, "unknown-key");
        return false;
    case StoreResult::Damaged:
        Fail(reply, summary, kReplyOperationFailed, "key-file-damaged");
        return false;
    default:
        Fail(reply, summary, kReplyOperationFailed, "key-store-failure");
        return false;
    }
}

const wchar_t* HashForLength(DWORD length)
{
    switch (length) {
    case 20: return BCRYPT_SHA1_ALGORITHM;
    case 32: return BCRYPT_SHA256_ALGORITHM;
    case 48: return BCRYPT_SHA384_ALGORITHM;
    case 64: return BCRYPT_SHA512_ALGORITHM;
    default: return nullptr;
    }
}

void HandlePublicKey(KeyCache* cache, const BYTE* payload, DWORD n, Reply* reply,
                     RequestSummary* summary)
{
    if (n % 2 != 0 || n > kMaxNameBytes) {
        Fail(reply, summary, kReplyBadRequest, "bad-request");
        return;
    }
    summary->keyName = NameFromWire(payload, n);
    summary->hasKeyName = true;
    std::shared_ptr<CachedKey> key;
    if (!FindOrFail(cache, summary->keyName, &key, reply, summary)) {
        return;
    }
    HeapBlock out(key->publicBlob.size());
    if (!out) {
        Fail(reply, summary, kReplyOperationFailed, "out-of-memory");
        return;
    }
    memcpy(out.get(), key->publicBlob.data(), key->publicBlob.size());
    reply->payload = static_cast<HeapBlock&&>(out);
    reply->payloadLength = static_cast<ULONG>(key->publicBlob.size());
}

void HandleSign(KeyCache* cache, const BYTE* payload, DWORD n, Reply* reply,
                RequestSummary* summary)
{
    Operation op;
    if (!ParseOperation(payload, n, &op, summary)) {
        Fail(reply, summary, kReplyBadRequest, "bad-request");
        return;
    }
    const wchar_t* hash = HashForLength(op.dataLength);
    bool pss = (op.flags & NCRYPT_PAD_PSS_FLAG) != 0;
    // The provider passed the caller's flags through after its own mask
    // check; the same mask applies here. No padding flag means PKCS#1 v1.5;
    // both at once is contradictory.
    if ((op.flags & ~kSignVerifyFlags) != 0 || (pss && (op.flags & NCRYPT_PAD_PKCS1_FLAG) != 0) ||
        hash == nullptr) {
        Fail(reply, summary, kReplyBadRequest, "bad-request");
        return;
    }
    std::shared_ptr<CachedKey> key;
    if (!FindOrFail(cache, summary->keyName, &key, reply, summary)) {
        return;
    }
    LONG status = 0;
    {
        KeyLease lease(key.get());
        status = RsaSignHash(pss ? lease.handles().pssKey : lease.handles().key, (key->bits + 7) / 8,
                             pss ? SignPadding::Pss : SignPadding::Pkcs1, hash, op.data, op.dataLength,
                             &reply->payload, &reply->payloadLength);
    }
    if (status < 0) {
        Fail(reply, summary, kReplyOperationFailed, "sign-failed");
    }
}

void HandleDecrypt(KeyCache* cache, const BYTE* payload, DWORD n, Reply* reply,
                   RequestSummary* summary)
{
    Operation op;
    if (!ParseOperation(payload, n, &op, summary)) {
        Fail(reply, summary, kReplyBadRequest, "bad-request");
        return;
    }
    DWORD paddingBits = op.flags & (NCRYPT_NO_PADDING_FLAG | NCRYPT_PAD_PKCS1_FLAG | NCRYPT_PAD_OAEP_FLAG);
    // At most one padding; none means PKCS#1 v1.5.
    if ((op.flags & ~kEncryptDecryptFlags) != 0 || (paddingBits & (paddingBits - 1)) != 0) {
        Fail(reply, summary, kReplyBadRequest, "bad-request");
        return;
    }
    DecryptPadding padding = paddingBits == NCRYPT_NO_PADDING_FLAG ? DecryptPadding::None
                             : paddingBits == NCRYPT_PAD_OAEP_FLAG ? DecryptPadding::Oaep
                                                                   : DecryptPadding::Pkcs1;
    std::shared_ptr<CachedKey> key;
    if (!FindOrFail(cache, summary->keyName, &key, reply, summary)) {
        return;
    }
    if (op.dataLength != (key->bits + 7) / 8) {
        Fail(reply, summary, kReplyBadRequest, "bad-request");
        return;
    }
    LONG status = 0;
    {
        KeyLease lease(key.get());
        status = RsaDecrypt(lease.handles().key, padding, op.data, op.dataLength, &reply->payload,
                            &reply->payloadLength);
    }
    if (status < 0) {
        Fail(reply, summary, kReplyOperationFailed, "decrypt-failed");
    }
}

}  // namespace

void HandleRequest(KeyCache* cache, const BYTE* plaintext, size_t length, Reply* reply,
                   RequestSummary* summary)
{
    reply->status = kReplyOk;
    summary->outcome = "ok";
    if (length < 8) {
        Fail(reply, summary, kReplyBadRequest, "bad-request");
        return;
    }
    summary->code = GetU32(plaintext);
    DWORD n = GetU32(plaintext + 4);
    if (n != length - 8) {
        Fail(reply, summary, kReplyBadRequest, "bad-request");
        return;
    }
    const BYTE* payload = plaintext + 8;
    switch (summary->code) {
    case kRequestPublicKey: HandlePublicKey(cache, payload, n, reply, summary); break;
    case kRequestSignHash: HandleSign(cache, payload, n, reply, summary); break;
    case kRequestDecrypt: HandleDecrypt(cache, payload, n, reply, summary); break;
    default: Fail(reply, summary, kReplyBadRequest, "bad-request"); break;
    }
}

bool BuildReplyPlaintext(const Reply& reply, HeapBlock* plaintext)
{
    ULONG m = reply.status == kReplyOk ? reply.payloadLength : 0;
    HeapBlock out(8 + static_cast<size_t>(m));
    if (!out) {
        return false;
    }
    PutU32(out.get(), reply.status);
    PutU32(out.get() + 4, m);
    if (m != 0) {
        memcpy(out.get() + kPlaintextHeaderLength, reply.payload.get(), m);
    }
    *plaintext = static_cast<HeapBlock&&>(out);
    return true;
}

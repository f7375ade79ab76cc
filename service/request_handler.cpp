#include "request_handler.h"

#include "operation_flags.h"
#include "payloads.h"
#include "plaintexts.h"
#include "rsa_key.h"
#include "utf16_text.h"

#include <ncrypt.h>

namespace {

// A name too long for any key names no key; it is not logged either.
void NoteKeyName(const RequestedKey& key, RequestSummary* summary)
{
    summary->hasKeyName = key.fits;
    summary->keyName = ToWide(key.name.view());
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
    RequestedKey requested;
    if (!DecodePublicKeyPayload({payload, n}, &requested)) {
        Fail(reply, summary, kReplyBadRequest, "bad-request");
        return;
    }
    NoteKeyName(requested, summary);
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

// The sign and decrypt payload, its key name noted for the log.
bool DecodeOperationOrFail(const BYTE* payload, DWORD n, OperationRequest* op, Reply* reply, RequestSummary* summary)
{
    if (!DecodeOperationPayload({payload, n}, op)) {
        Fail(reply, summary, kReplyBadRequest, "bad-request");
        return false;
    }
    NoteKeyName(op->key, summary);
    return true;
}

void HandleSign(KeyCache* cache, const BYTE* payload, DWORD n, Reply* reply,
                RequestSummary* summary)
{
    OperationRequest op;
    if (!DecodeOperationOrFail(payload, n, &op, reply, summary)) {
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
        status = RsaSignHash(pss ? lease.handles().pssKey.get() : lease.handles().key.get(), (key->bits + 7) / 8,
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
    OperationRequest op;
    if (!DecodeOperationOrFail(payload, n, &op, reply, summary)) {
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
        status = RsaDecrypt(lease.handles().key.get(), padding, op.data, op.dataLength, &reply->payload,
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
    PlaintextView request;
    const RequestCheck check = DecodeRequest({plaintext, length}, &request);
    summary->hasCode = check != RequestCheck::TooShort;
    summary->code = request.word;
    if (check != RequestCheck::Ok) {
        Fail(reply, summary, kReplyBadRequest, "bad-request");
        return;
    }
    const BYTE* payload = request.body;
    const DWORD n = request.length;
    switch (summary->code) {
    case kRequestPublicKey: HandlePublicKey(cache, payload, n, reply, summary); break;
    case kRequestSignHash: HandleSign(cache, payload, n, reply, summary); break;
    case kRequestDecrypt: HandleDecrypt(cache, payload, n, reply, summary); break;
    default: Fail(reply, summary, kReplyBadRequest, "bad-request"); break;
    }
}

bool BuildReplyPlaintext(const Reply& reply, HeapBlock* plaintext)
{
    // A failure carries no payload.
    const ULONG m = reply.status == kReplyOk ? reply.payloadLength : 0;
    return EncodeReply(reply.status, {reply.payload.get(), m}, plaintext);
}

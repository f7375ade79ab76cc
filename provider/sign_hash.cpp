#include "channel/pipe_exchange.h"
#include "entry_points.h"
#include "handles.h"
#include "heap_block.h"
#include "key_operation_flags.h"
#include "ksp_status.h"
#include "operation_payload.h"
#include "padding_rules.h"
#include "signature_check.h"
#include "protocol.h"
#include "status_mapping.h"

#include <cstring>

namespace {

// Answered locally from the public key; the service is not contacted.
SECURITY_STATUS QuerySignatureLength(const KeyHandle* key, DWORD* result)
{
    DWORD length = 0;
    ULONG written = 0;
    const NTSTATUS status = BCryptGetProperty(key->publicKey, BCRYPT_SIGNATURE_LENGTH,
                                              reinterpret_cast<PUCHAR>(&length), sizeof length, &written, 0);
    if (status < 0) {
        return MapBcryptStatus(status);
    }
    *result = length;
    return ZK_SUCCESS;
}

SECURITY_STATUS SignRemotely(const KeyHandle* key, const void* paddingInfo, const BYTE* hash, DWORD hashLength,
                             PBYTE signature, DWORD signatureSize, DWORD* result, DWORD flags)
{
    if (hash == nullptr && hashLength != 0) {
        return NTE_INVALID_PARAMETER;
    }
    HeapBlock payload;
    const SECURITY_STATUS built = BuildOperationPayload(key, hash, hashLength, flags, &payload);
    if (built != ZK_SUCCESS) {
        return built;
    }
    SignScheme scheme;
    const SECURITY_STATUS padding = CheckSignPadding(paddingInfo, hashLength, flags, &scheme);
    if (padding != ZK_SUCCESS) {
        return padding;
    }
    HeapBlock replyBlock;
    const SECURITY_STATUS exchange =
        PipeExchange(kRequestSignHash, payload.get(), static_cast<uint32_t>(payload.size()), &replyBlock);
    if (exchange != ZK_SUCCESS) {
        return exchange;
    }
    const auto replyLength = static_cast<DWORD>(replyBlock.size());
    if (replyLength == 0) {
        return NTE_INTERNAL_ERROR;
    }
    // Checked against the hash bytes that were sent, which the payload holds.
    const SECURITY_STATUS checked = CheckReturnedSignature(key, scheme, payload.get() + kOperationPayloadDataOffset,
                                                           hashLength, replyBlock.get(), replyLength);
    if (checked != ZK_SUCCESS) {
        return checked;
    }
    if (replyLength > signatureSize) {
        return NTE_BUFFER_TOO_SMALL;
    }
    std::memcpy(signature, replyBlock.get(), replyLength);
    *result = replyLength;
    return ZK_SUCCESS;
}

}  // namespace

SECURITY_STATUS WINAPI SignHash(NCRYPT_PROV_HANDLE /*hProvider*/, NCRYPT_KEY_HANDLE hKey, VOID* pPaddingInfo,
                                PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature, DWORD cbSignature,
                                DWORD* pcbResult, DWORD dwFlags)
{
    const KeyHandle* key = AsKeyHandle(hKey);
    if (key == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    if (pcbResult == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    if ((dwFlags & ~kSignVerifyFlags) != 0) {
        return NTE_BAD_FLAGS;
    }
    if ((key->keyUsage & kAllowSigningUsage) == 0) {
        return NTE_PERM;
    }
    if (pbSignature == nullptr) {
        return QuerySignatureLength(key, pcbResult);
    }
    return SignRemotely(key, pPaddingInfo, pbHashValue, cbHashValue, pbSignature, cbSignature, pcbResult, dwFlags);
}

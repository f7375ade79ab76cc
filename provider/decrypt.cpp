#include "channel/pipe_exchange.h"
#include "entry_points.h"
#include "handles.h"
#include "heap_block.h"
#include "key_operation_flags.h"
#include "ksp_status.h"
#include "operation_payload.h"
#include "padding_rules.h"
#include "protocol.h"

#include <cstring>

namespace {

// Even a size query costs the whole remote decryption; the plaintext is then
// wiped and dropped.
SECURITY_STATUS DecryptRemotely(const KeyHandle* key, const void* paddingInfo, const BYTE* input, DWORD inputLength,
                                PBYTE output, DWORD outputSize, DWORD* result, DWORD flags)
{
    HeapBlock payload;
    const SECURITY_STATUS built = BuildOperationPayload(key, input, inputLength, flags, &payload);
    if (built != ZK_SUCCESS) {
        return built;
    }
    const SECURITY_STATUS padding = CheckDecryptPadding(paddingInfo, flags);
    if (padding != ZK_SUCCESS) {
        return padding;
    }
    HeapBlock plaintext;
    const SECURITY_STATUS exchange =
        PipeExchange(kRequestDecrypt, payload.get(), static_cast<uint32_t>(payload.size()), &plaintext);
    if (exchange != ZK_SUCCESS) {
        return exchange;
    }
    const auto replyLength = static_cast<DWORD>(plaintext.size());
    if (replyLength == 0) {
        return NTE_INTERNAL_ERROR;
    }
    if (output == nullptr) {
        *result = replyLength;
        return ZK_SUCCESS;
    }
    if (replyLength > outputSize) {
        *result = replyLength;
        return NTE_BUFFER_TOO_SMALL;
    }
    std::memcpy(output, plaintext.get(), replyLength);
    *result = replyLength;
    return ZK_SUCCESS;
}

}  // namespace

SECURITY_STATUS WINAPI Decrypt(NCRYPT_PROV_HANDLE /*hProvider*/, NCRYPT_KEY_HANDLE hKey, PBYTE pbInput, DWORD cbInput,
                               VOID* pPaddingInfo, PBYTE pbOutput, DWORD cbOutput, DWORD* pcbResult, DWORD dwFlags)
{
    const KeyHandle* key = AsKeyHandle(hKey);
    if (key == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    if (pbInput == nullptr || cbInput == 0 || pcbResult == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    if ((dwFlags & ~kEncryptDecryptFlags) != 0) {
        return NTE_BAD_FLAGS;
    }
    if ((key->keyUsage & kAllowDecryptUsage) == 0) {
        return NTE_PERM;
    }
    if (cbInput != (key->keyLengthBits + 7) / 8) {
        return NTE_INVALID_PARAMETER;
    }
    return DecryptRemotely(key, pPaddingInfo, pbInput, cbInput, pbOutput, cbOutput, pcbResult, dwFlags);
}

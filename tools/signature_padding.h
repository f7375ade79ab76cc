// Padding record and flags word for a signature through the provider. The
// PSS salt is as long as the hash, the usual choice and the one a verifier
// (and a certificate's RSASSA-PSS parameters) will assume.
#pragma once

#include "tool_args.h"

#include <windows.h>
#include <bcrypt.h>

namespace zkt {

struct SignaturePaddingInfo {
    BCRYPT_PKCS1_PADDING_INFO pkcs1{};
    BCRYPT_PSS_PADDING_INFO pss{};
    void* info = nullptr;
    DWORD flags = 0;
    const char* label = "";
};

// `p` must stay where it is while info is used: info points into it.
void ChoosePadding(HashAlgorithm hash, SignaturePadding padding, SignaturePaddingInfo& p);

}  // namespace zkt

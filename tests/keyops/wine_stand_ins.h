// Stand-ins for the BCrypt answers Wine 8.0 lacks, installed on the
// provider's own import entries. Each answers only the one query Wine
// cannot, with the value Windows gives, and forwards everything else:
//   - "KeyLengths" of the RSA algorithm: 512..16384 in steps of 64;
//   - "SignatureLength" of an RSA key: its modulus length in bytes;
//   - "PUBLICBLOB" export of an RSA key: the "RSAPUBLICBLOB" bytes.
#pragma once

#include "import_patch.h"

#include <windows.h>
#include <bcrypt.h>

#include <memory>
#include <string>

namespace zt {

enum class WineGap { KeyLengths, SignatureLength, PublicBlobExport };

class WindowsBCryptStandIn {
public:
    WindowsBCryptStandIn(HMODULE provider, WineGap gap);
    ~WindowsBCryptStandIn();
    WindowsBCryptStandIn(const WindowsBCryptStandIn&) = delete;
    WindowsBCryptStandIn& operator=(const WindowsBCryptStandIn&) = delete;

    bool active() const { return patch_ && patch_->active(); }
    // What the provider asked: the handle of the last stood-in query and the
    // blob type of the last export.
    static BCRYPT_HANDLE LastHandle();
    static std::wstring LastBlobType();
    static int Answered();

private:
    std::unique_ptr<ImportPatch> patch_;
};

}  // namespace zt

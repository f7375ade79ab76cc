// "import": an RSA private key made elsewhere becomes a key of the store,
// stored exactly as "create" stores the keys it makes.
#pragma once

#include "import_result.h"
#include "key_input.h"

#include <windows.h>

#include <string>

struct ImportRequest {
    std::wstring name;
    std::wstring file;
    std::wstring passwordFile;  // empty: ask on the console (PFX only)
    std::wstring certOut;       // PFX only: where its certificate goes (PEM)
};

struct ImportReport {
    KeyFormat format = KeyFormat::Pkcs8;
    ULONG bits = 0;
    bool certificateWritten = false;
};

// Checks everything before writing anything: a refused input leaves the
// store (and --cert-out) as they were.
ImportOutcome ImportKey(const ImportRequest& request, ImportReport* report);

// The RSA private key (and its certificate) out of a PKCS #12 / PFX file.
//
// PFXImportCertStore puts the key into a key container of the platform's
// providers; it is exported from there as the legacy private blob
// (CryptExportKey, or NCryptExportKey when the PFX names a CNG provider)
// and every container the import made is deleted again, on every path.
#pragma once

#include "heap_block.h"
#include "import_result.h"

#include <windows.h>

#include <vector>

ImportOutcome DecodePfx(const HeapBlock& pfx, const wchar_t* password, HeapBlock* fullBlob, ULONG* bits,
                        std::vector<BYTE>* certificate);

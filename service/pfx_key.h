// The RSA private key (and its certificate) out of a PKCS #12 / PFX file.
//
// PFXImportCertStore is asked to keep the key in memory only
// (PKCS12_NO_PERSIST_KEY); a platform that cannot gets the import that puts
// it into a key container, which is deleted again on every path and, after
// a crash, by the next import (pfx_containers.h). The key is exported as the
// legacy private blob (CryptExportKey, or NCryptExportKey for a CNG key).
#pragma once

#include "heap_block.h"
#include "import_result.h"

#include <windows.h>

#include <vector>

ImportOutcome DecodePfx(const HeapBlock& pfx, const wchar_t* password, HeapBlock* fullBlob, ULONG* bits,
                        std::vector<BYTE>* certificate);

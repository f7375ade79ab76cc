// A key brought from elsewhere, made into exactly what "create" stores:
// imported into BCrypt, shown to sign a hash its own public half verifies,
// and exported again as BCrypt writes an RSAFULLPRIVATEBLOB.
#pragma once

#include "heap_block.h"
#include "import_result.h"

#include <windows.h>

// Sizes "import" takes: at least 2048 bits, at most what the provider reports.
constexpr ULONG kMinImportBits = 2048;
constexpr ULONG kMaxImportBits = 16384;

ImportOutcome NormaliseImportedKey(const HeapBlock& candidate, HeapBlock* stored);

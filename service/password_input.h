// The password of a PFX: the first line of a file, or asked for on the
// console without echo. Never taken from the command line, where other
// processes of the machine could read it.
#pragma once

#include "heap_block.h"
#include "import_result.h"

#include <string>

// *password receives NUL-terminated UTF-16 in a wiped block. An empty
// passwordFile means: ask on the console, or refuse when there is none.
ImportOutcome ReadPassword(const std::wstring& passwordFile, const std::wstring& forFile, HeapBlock* password);

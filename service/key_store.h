// The per-user key store: one DPAPI-protected file per key under
// %LOCALAPPDATA%\Zentrava\keys.
#pragma once

#include "heap_block.h"
#include "service_status.h"

#include <windows.h>

#include <string>
#include <vector>

// Identifies one version of a key file, so a cached key can tell that its
// file was deleted or replaced.
struct KeyFileStamp {
    FILETIME created{};
    FILETIME written{};
    ULONGLONG size = 0;
};
bool SameStamp(const KeyFileStamp& a, const KeyFileStamp& b);

// %LOCALAPPDATA%\Zentrava, empty when LOCALAPPDATA is unset.
std::wstring DataFolder();

// %LOCALAPPDATA%\Zentrava\keys, empty when LOCALAPPDATA is unset.
std::wstring KeysFolder();

// Path of the file that holds (or would hold) the key of that name.
std::wstring KeyFilePath(const std::wstring& name);

// A new key of the given size; never replaces an existing file.
StoreResult CreateKey(const std::wstring& name, ULONG bits, DWORD* lastError);

// Stores an "RSAFULLPRIVATEBLOB" as the key of that name, the way CreateKey
// stores the keys it makes; never replaces an existing file.
StoreResult StoreNewKey(const std::wstring& name, const HeapBlock& blob, DWORD* lastError);

// Removes the key's file, damaged or not.
StoreResult DeleteKey(const std::wstring& name, DWORD* lastError);

struct KeyListEntry {
    std::wstring name;      // empty when the file is too damaged to name its key
    std::wstring fileName;
    ULONG bits = 0;         // 0: a format 1 file, whose size only its protected blob holds
    bool damaged = false;
};
// Every key file, sorted by name; damaged files are listed, not skipped.
// Reads only what the files hold in clear: a protected blob that no longer
// opens is found when the key is used.
StoreResult ListKeys(std::vector<KeyListEntry>* keys);

// The key's unprotected "RSAFULLPRIVATEBLOB" and the stamp of the file it came from.
StoreResult LoadKeyBlob(const std::wstring& name, HeapBlock* blob, KeyFileStamp* stamp);

// Current stamp of the key's file; NotFound when it is gone.
StoreResult StatKeyFile(const std::wstring& name, KeyFileStamp* stamp);

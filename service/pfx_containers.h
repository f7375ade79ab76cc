// The key containers a PFX import leaves in the user's profile, and the
// journal that lets a later import remove those of one that was interrupted.
//
// A journal is "<data folder>\pfx-<16 hex digits>.pending", written before
// the key is exported and held open without sharing until every container
// it names is deleted; then it is removed. One that can be opened belongs to
// an import that ended before that (a crash): its containers are deleted.
#pragma once

#include "unique_resource.h"

#include <windows.h>

#include <string>
#include <vector>

struct KeyContainer {
    std::wstring name;
    std::wstring provider;
    DWORD providerType = 0;  // 0: a CNG key storage provider
    DWORD flags = 0;         // CRYPT_MACHINE_KEYSET / NCRYPT_MACHINE_KEY_FLAG
    DWORD keySpec = 0;
};

void DeleteKeyContainer(const KeyContainer& container);

struct ContainerJournal;
// Closes the journal and removes it: the containers it names are gone.
void CloseContainerJournal(ContainerJournal* journal);

// Closed and removed when it goes: declare it before what it guards, so that
// the containers are deleted first.
struct ContainerJournal {
    UniqueFile file;
    std::wstring path;

    ContainerJournal() = default;
    ContainerJournal(const ContainerJournal&) = delete;
    ContainerJournal& operator=(const ContainerJournal&) = delete;
    ~ContainerJournal() { CloseContainerJournal(this); }
};

// Best effort: without a journal an import still works, and still deletes
// its containers unless it is interrupted.
void OpenContainerJournal(ContainerJournal* journal);
// Writes (and flushes) the whole list, replacing what the journal held.
void RecordContainers(ContainerJournal* journal, const std::vector<KeyContainer>& containers);

// Deletes the containers that journals of interrupted imports name.
void RemoveContainersOfInterruptedImports();

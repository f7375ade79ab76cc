// What a folder's security is, and what a module asked for when it made one
// or changed one. Wine 8.0 keeps no label and no DACL flags on files (it
// maps a DACL to the Unix mode bits and reads that back), so a test reads
// back what Wine keeps and checks the rest in the requests.
#pragma once

#include "import_patch.h"
#include "interposer.h"

#include <windows.h>

#include <string>
#include <vector>

namespace zt {

// The calls that protect a folder that is already there. That is best
// effort (the folder is used as it is when it fails), so a sweep may see
// their failure go unnoticed.
bool ProtectsAnExistingFolder(Fn fn);

// The user this process runs as, as a SID string.
std::wstring CurrentUserSidString();

// The folder's DACL and label as the platform reads them back, in SDDL
// (empty if they cannot be read).
std::wstring ReadBackSddl(const std::wstring& path);

// The trustee of each entry of an SDDL string's DACL ("SY", "S-1-5-..."), in order.
std::vector<std::wstring> DaclTrustees(const std::wstring& sddl);

// Records, as SDDL (DACL and label), the security that `module` passes to
// CreateDirectoryW and SetNamedSecurityInfoW through its imports; forwards
// every call. One recorder at a time.
class FolderSecurityRecorder {
public:
    struct Made {
        std::wstring path;
        std::wstring sddl;
    };
    struct Set {
        std::wstring path;
        DWORD info;
        std::wstring sddl;
        DWORD result;
    };

    explicit FolderSecurityRecorder(HMODULE module);
    ~FolderSecurityRecorder();
    FolderSecurityRecorder(const FolderSecurityRecorder&) = delete;
    FolderSecurityRecorder& operator=(const FolderSecurityRecorder&) = delete;

    bool active() const { return create_.active() && set_.active() && get_.active(); }
    // GetNamedSecurityInfoW then answers with this descriptor, as a
    // platform that keeps labels would for a folder that has it.
    void AnswerReadsWith(const std::wstring& sddl) { answer_ = sddl; }
    const std::wstring& answer() const { return answer_; }

    std::vector<Made> made;
    std::vector<Set> set;

private:
    std::wstring answer_;
    ImportPatch create_;
    ImportPatch set_;
    ImportPatch get_;
};

}  // namespace zt

// A private data root for tests of the pipe secret store: a fresh folder that
// LOCALAPPDATA names for the life of the object (the previous value comes
// back afterwards), removed with everything in it at the end.
//
// Use these outside an Interposer's scope on the test executable: some of
// them call hooked kernel32 and crypt32 functions.
#pragma once

#include "temp_folder.h"

#include <windows.h>

#include <string>
#include <vector>

namespace zt {

class TempDataRoot {
public:
    // `padTo`, if non-zero, makes the root's path exactly that many UTF-16
    // units long by nesting padding folders. `leaf`, if given, is the root's
    // last folder (after any padding), for names the ANSI code page cannot
    // hold, such as L"data\u0416".
    explicit TempDataRoot(size_t padTo = 0, const std::wstring& leaf = L"");
    ~TempDataRoot();
    TempDataRoot(const TempDataRoot&) = delete;
    TempDataRoot& operator=(const TempDataRoot&) = delete;

    bool ok() const { return ok_; }
    const std::wstring& widePath() const { return path_; }  // the data root
    std::wstring wideFolder() const { return path_ + L"\\Zentrava"; }
    std::wstring wideSecretFile() const { return wideFolder() + L"\\pipe.secret"; }
    // Where the store writes a new secret before moving it into place.
    std::wstring wideTempFile() const { return wideFolder() + L"\\pipe.tmp"; }
    // The same in the ANSI code page: only for roots that it can hold.
    const std::string& path() const { return narrow_; }
    std::string folder() const { return path() + "\\Zentrava"; }
    std::string secretFile() const { return folder() + "\\pipe.secret"; }

    // Points LOCALAPPDATA somewhere else (for example below the root).
    void SetVariable(const std::string& value) const;
    void SetVariable(const std::wstring& value) const;

    bool SecretFileExists() const;
    std::vector<BYTE> ReadSecretFile() const;
    // Creates the folder if needed and writes the file with these bytes.
    void WriteSecretFile(const std::vector<BYTE>& bytes) const;
    DWORD SecretFileAttributes() const;

private:
    std::wstring path_;
    std::string narrow_;
    TempFolder base_{L"zkroot_"};  // what gets removed
    std::wstring saved_;
    bool hadSaved_ = false;
    bool ok_ = false;
};

// DPAPI round trips for checking what the store wrote.
std::vector<BYTE> Unprotect(const std::vector<BYTE>& blob, bool* ok);
std::vector<BYTE> Protect(const std::vector<BYTE>& plain);

}  // namespace zt

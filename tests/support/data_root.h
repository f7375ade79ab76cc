// A private data root for tests of the pipe secret store: a fresh folder that
// LOCALAPPDATA names for the life of the object (the previous value comes
// back afterwards), removed with everything in it at the end.
//
// Use these outside an Interposer's scope on the test executable: some of
// them call hooked kernel32 and crypt32 functions.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace zt {

class TempDataRoot {
public:
    // `padTo`, if non-zero, makes the root's path exactly that many characters
    // long by nesting padding folders.
    explicit TempDataRoot(size_t padTo = 0);
    ~TempDataRoot();
    TempDataRoot(const TempDataRoot&) = delete;
    TempDataRoot& operator=(const TempDataRoot&) = delete;

    bool ok() const { return ok_; }
    const std::string& path() const { return path_; }  // the data root
    std::string folder() const { return path_ + "\\Zentrava"; }
    std::string secretFile() const { return folder() + "\\pipe.secret"; }

    // Points LOCALAPPDATA somewhere else (for example below the root).
    void SetVariable(const std::string& value) const;

    bool SecretFileExists() const;
    std::vector<BYTE> ReadSecretFile() const;
    // Creates the folder if needed and writes the file with these bytes.
    void WriteSecretFile(const std::vector<BYTE>& bytes) const;
    DWORD SecretFileAttributes() const;

private:
    std::string path_;
    std::string base_;  // what gets removed
    std::string saved_;
    bool hadSaved_ = false;
    bool ok_ = false;
};

// Removes a folder and everything under it.
void RemoveTree(const std::string& path);

// DPAPI round trips for checking what the store wrote.
std::vector<BYTE> Unprotect(const std::vector<BYTE>& blob, bool* ok);
std::vector<BYTE> Protect(const std::vector<BYTE>& plain);

}  // namespace zt

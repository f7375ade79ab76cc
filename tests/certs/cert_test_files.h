// Shared pieces of the certificate and import suites: a scratch folder that
// both Windows programs and OpenSSL can name, the tool and the service as
// processes, a test store of the current user, and OpenSSL's answers.
#pragma once

#include "child_process.h"
#include "temp_folder.h"
#include "unix_shell.h"

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

namespace zt {

// A TempFolder whose files are also given as quoted Linux paths.
class SharedFolder {
public:
    std::wstring File(const wchar_t* name) const { return folder_.File(name); }
    // The Linux path of a file of this folder, quoted for the shell.
    std::string Sh(const wchar_t* name) const;
    bool Exists(const wchar_t* name) const;

private:
    TempFolder folder_;
};

ProgramRun RunTool(const std::vector<std::wstring>& args);
// The service's command line, with --data-root and no console (stdin NUL).
ProgramRun RunServiceCommand(const std::vector<std::wstring>& args, const std::string& dataRoot);

bool Contains(const std::string& text, const std::string& part);

// A system store of the current user named for this process, removed again
// by the destructor.
class TestStore {
public:
    TestStore();
    ~TestStore();
    TestStore(const TestStore&) = delete;
    TestStore& operator=(const TestStore&) = delete;
    const std::wstring& name() const { return name_; }
    // Null when the store does not exist (nothing was ever added).
    HCERTSTORE OpenExisting() const;
    size_t CertificateCount() const;

private:
    std::wstring name_;
};

// The SHA-1 hash a store finds a certificate by; empty if the file is none.
std::vector<BYTE> CertificateHashOf(const std::wstring& path);
std::string HexUpper(const std::vector<BYTE>& bytes);

}  // namespace zt

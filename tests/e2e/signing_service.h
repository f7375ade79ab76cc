// The real ZentravaSigningService.exe on a private data root, for the
// end-to-end suites: one object holds the root, the serving process, and
// reads a key's public half back from the service's own key file.
#pragma once

#include "data_root.h"
#include "service_process.h"

#include <windows.h>

#include <string>
#include <vector>

namespace zt {

class SigningService {
public:
    // The data root also becomes this process's LOCALAPPDATA, so the
    // provider here finds the service's pipe secret.
    SigningService() = default;
    SigningService(const SigningService&) = delete;
    SigningService& operator=(const SigningService&) = delete;

    bool CreateKey(const std::wstring& name, ULONG bits);
    // Starts "serve" and waits until it serves the pipe.
    bool Start() { return process_.Start(root_.path()); }
    bool running() const { return process_.Running(); }
    const std::string& dataRoot() const { return root_.path(); }

    // The key's "RSAPUBLICBLOB", derived by the test from the service's own
    // key file (unprotected with DPAPI, imported and exported with BCrypt).
    std::vector<BYTE> PublicBlobOf(const std::wstring& name) const;

private:
    TempDataRoot root_;       // removed after the process below has stopped
    ServiceProcess process_;  // stopped (or ended) by its destructor
};

}  // namespace zt

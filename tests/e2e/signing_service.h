// Runs ZentravaSigningService.exe from the test's folder as a separate
// process with its own data root, and reads its keys back for comparison.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace zt {

class SigningService {
public:
    // Creates a fresh data root under the temp folder and points this
    // process's LOCALAPPDATA at it, so the provider finds the same secret.
    SigningService();
    // Stops a running service (by "stop", else by its handle) and removes the root.
    ~SigningService();
    SigningService(const SigningService&) = delete;
    SigningService& operator=(const SigningService&) = delete;

    // Runs one command of the service to completion; returns its exit code.
    DWORD Run(const std::wstring& arguments, DWORD timeoutMs = 60000);
    bool CreateKey(const std::wstring& name, ULONG bits);
    // Starts "serve" and waits until its pipe secret file exists.
    bool Start();
    void Stop();
    bool running() const { return serve_.hProcess != nullptr; }

    // The key's "RSAPUBLICBLOB", derived by the test from the service's own
    // key file (unprotected with DPAPI, imported and exported with BCrypt).
    std::vector<BYTE> PublicBlobOf(const std::wstring& name) const;
    const std::wstring& root() const { return root_; }

private:
    bool Launch(const std::wstring& arguments, PROCESS_INFORMATION* pi);
    std::wstring root_;
    std::wstring exe_;
    PROCESS_INFORMATION serve_{};
};

}  // namespace zt

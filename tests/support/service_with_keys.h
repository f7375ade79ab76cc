// The real ZentravaSigningService.exe serving on a private data root: the one
// "service on a temporary root" of the suites. The root is also this
// process's LOCALAPPDATA while the object lives, so the provider here shares
// the service's pipe secret.
//
//   zt::ServiceWithKeys service;
//   ASSERT_TRUE(service.Start({{L"k1", 2048}, {L"k2", 3072}}, 16, &error)) << error;
//   ... exchanges; service.PublicBlobOf(L"k1") is the key's public half ...
#pragma once

#include "data_root.h"
#include "service_process.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace zt {

class ServiceWithKeys {
public:
    struct Key {
        std::wstring name;
        ULONG bits;
    };
    ServiceWithKeys() = default;
    ServiceWithKeys(const ServiceWithKeys&) = delete;
    ServiceWithKeys& operator=(const ServiceWithKeys&) = delete;

    // "create <name> --bits <bits>" on the root.
    bool CreateKey(const std::wstring& name, ULONG bits, std::string* error = nullptr);
    // Creates the keys and starts serving ("--instances" when not 0); false,
    // with a message, on failure.
    bool Start(const std::vector<Key>& keys = {}, DWORD instances = 0, std::string* error = nullptr);
    // More "serve" options for Start and Restart, e.g. L"--per-client 4".
    void SetServeOptions(const std::wstring& options) { serveOptions_ = options; }
    // Its standard output a pipe nobody reads (ServiceProcess::SetOutputUnread).
    void SetOutputUnread() { unreadOutput_ = true; }
    // Starts serving again on the same data root (after Kill or Stop).
    bool Restart(std::string* error = nullptr);
    // Ends the serving process abruptly, by its own handle.
    bool Kill();
    bool Stop();
    bool running() const { return process_ && process_->Running(); }

    TempDataRoot& root() { return root_; }
    const std::string& dataRoot() const { return root_.path(); }
    ServiceProcess* process() { return process_.get(); }

    // The key's "RSAPUBLICBLOB", derived by the test from the service's own
    // key file (unprotected with DPAPI, imported and exported with BCrypt).
    std::vector<BYTE> PublicBlobOf(const std::wstring& name) const;

private:
    TempDataRoot root_;                        // removed after the process below has ended
    std::unique_ptr<ServiceProcess> process_;  // stopped (or ended) by its destructor
    DWORD instances_ = 0;
    std::wstring serveOptions_;
    bool unreadOutput_ = false;
};

}  // namespace zt

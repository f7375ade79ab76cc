// A provider, a private data root and the scripted signing service serving a
// test key's public blob. The requests the provider must send are built with
// wire_client.h.
#pragma once

#include "data_root.h"
#include "interposer.h"
#include "ksp_status.h"
#include "provider_loader.h"
#include "scripted_service.h"
#include "test_key.h"
#include "wire_client.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zt {

class RemoteFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    void TearDown() override;

    // Scripts a reply with this payload (status word 0).
    void Reply(const std::vector<BYTE>& payload);
    // Opens `name` while the service answers with the test key's public blob.
    NCRYPT_KEY_HANDLE OpenTestKey(const wchar_t* name = L"remote-key");
    // The exchange that finished after `before` others (the service records a
    // connection only once the client has closed it, so this waits).
    ObservedExchange ExchangeAfter(size_t before) const;
    // Provider heap blocks freed without being wiped.
    std::vector<FreedBlock> UnwipedHeapFrees(const Interposer& spy) const;

    static std::unique_ptr<TestRsaKey> rsa;
    std::unique_ptr<TempDataRoot> root;
    std::unique_ptr<ScriptedService> service;
    LoadedProvider provider;
    NCRYPT_PROV_HANDLE prov = 0;
};

}  // namespace zt

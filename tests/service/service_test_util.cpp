#include "service_test_util.h"

#include "channel/pipe_exchange.h"
#include "heap_block.h"

#include <algorithm>

std::vector<BYTE> RandomBytes(size_t n)
{
    std::vector<BYTE> out(n);
    BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(n), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    return out;
}

LONG ExchangeWithService(uint32_t code, const std::vector<BYTE>& payload, std::vector<BYTE>* reply)
{
    BYTE* block = nullptr;
    uint32_t length = 0;
    LONG status = PipeExchange(code, payload.data(), static_cast<uint32_t>(payload.size()), &block, &length);
    if (status == 0) {
        reply->assign(block, block + length);
        WipeAndHeapFree(block, length);
    }
    return status;
}

BCRYPT_KEY_HANDLE ImportPublicKey(const std::vector<BYTE>& blob)
{
    BCRYPT_ALG_HANDLE alg = nullptr;
    if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_RSA_ALGORITHM, nullptr, 0) < 0) {
        return nullptr;
    }
    BCRYPT_KEY_HANDLE key = nullptr;
    if (BCryptImportKeyPair(alg, nullptr, BCRYPT_RSAPUBLIC_BLOB, &key, const_cast<BYTE*>(blob.data()),
                            static_cast<ULONG>(blob.size()), 0) < 0) {
        key = nullptr;
    }
    // The key keeps what it needs of the provider.
    BCryptCloseAlgorithmProvider(alg, 0);
    return key;
}

std::wstring FindKeyFile(const std::string& dataRoot, const wchar_t* name)
{
    std::wstring folder(dataRoot.begin(), dataRoot.end());  // temp paths are ASCII here
    folder += L"\\Zentrava\\keys";
    const BYTE* n = reinterpret_cast<const BYTE*>(name);
    std::vector<BYTE> needle(n, n + 2 * wcslen(name));
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*.key").c_str(), &found);
    std::wstring match;
    if (search == INVALID_HANDLE_VALUE) {
        return match;
    }
    do {
        std::wstring path = folder + L"\\" + found.cFileName;
        std::vector<BYTE> content = ReadAll(path);
        // The name sits at offset 12, after magic, version and its length.
        if (content.size() >= 12 + needle.size() + 4 && (content[8] | (content[9] << 8)) == static_cast<int>(needle.size()) &&
            std::equal(needle.begin(), needle.end(), content.begin() + 12)) {
            match = path;
        }
    } while (match.empty() && FindNextFileW(search, &found));
    FindClose(search);
    return match;
}

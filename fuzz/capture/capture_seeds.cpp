// Writes the fuzz targets' seed inputs from real bytes: the provider DLL
// opens a key, signs and decrypts against the real signing service, and
// every byte either side puts on the pipe is taken from the DLL's own
// ReadFile and WriteFile (patched in its import table); the session keys,
// derived from the shared secret and the nonces seen, open both envelopes
// into their plaintexts. Key files are the service's own. A legacy RSA blob
// comes from crypt32's decoder, given the PKCS#1 key in argv[2].
//   capture_seeds.exe <corpus folder> <pkcs1 key.der>
#include "envelope.h"
#include "handshake.h"
#include "import_patch.h"
#include "payloads.h"
#include "pipe_secret.h"
#include "plaintexts.h"
#include "provider_loader.h"
#include "service_with_keys.h"
#include "session_keys.h"
#include "temp_folder.h"

#include <windows.h>
#include <ncrypt.h>
#include <wincrypt.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

struct Transfer {
    bool write;
    BYTE* buffer;
};
std::map<const OVERLAPPED*, Transfer> pending;
Bytes toService;    // what the DLL wrote on the pipe
Bytes fromService;  // what it read

zt::ImportPatch* readPatch;
zt::ImportPatch* writePatch;
zt::ImportPatch* resultPatch;

bool IsPipe(HANDLE h)
{
    return GetFileType(h) == FILE_TYPE_PIPE;
}

BOOL WINAPI RecordingReadFile(HANDLE h, LPVOID buffer, DWORD n, LPDWORD read, LPOVERLAPPED ov)
{
    if (ov != nullptr && IsPipe(h)) {
        pending[ov] = {false, static_cast<BYTE*>(buffer)};
    }
    return readPatch->original_as<decltype(&ReadFile)>()(h, buffer, n, read, ov);
}

BOOL WINAPI RecordingWriteFile(HANDLE h, LPCVOID buffer, DWORD n, LPDWORD written, LPOVERLAPPED ov)
{
    if (ov != nullptr && IsPipe(h)) {
        pending[ov] = {true, static_cast<BYTE*>(const_cast<void*>(buffer))};
    }
    return writePatch->original_as<decltype(&WriteFile)>()(h, buffer, n, written, ov);
}

BOOL WINAPI RecordingResult(HANDLE h, LPOVERLAPPED ov, LPDWORD n, BOOL wait)
{
    const BOOL ok = resultPatch->original_as<decltype(&GetOverlappedResult)>()(h, ov, n, wait);
    const auto it = pending.find(ov);
    if (it != pending.end()) {
        if (ok && *n != 0) {
            Bytes& to = it->second.write ? toService : fromService;
            to.insert(to.end(), it->second.buffer, it->second.buffer + *n);
        }
        pending.erase(it);
    }
    return ok;
}

std::string outDir;

void Save(const char* target, const std::string& name, const Bytes& bytes)
{
    const std::string dir = outDir + "\\" + target;
    CreateDirectoryA(dir.c_str(), nullptr);
    const std::string path = dir + "\\" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        std::printf("cannot write %s\n", path.c_str());
        std::exit(1);
    }
    std::fclose(f);
    std::printf("%s/%s: %zu bytes\n", target, name.c_str(), bytes.size());
}

Bytes Prefixed(BYTE first, const Bytes& bytes)
{
    Bytes out{first};
    out.insert(out.end(), bytes.begin(), bytes.end());
    return out;
}

// Reads one envelope's wire bytes at `at`, advancing it.
Bytes EnvelopeAt(const Bytes& stream, size_t* at, Envelope* envelope)
{
    EnvelopeDecoder decoder(envelope);
    bool refused = false;
    const uint32_t taken = FeedFields(&decoder, {stream.data() + *at, stream.size() - *at}, &refused);
    if (refused || !decoder.Complete()) {
        std::printf("no whole envelope in the capture\n");
        std::exit(1);
    }
    const Bytes wire(stream.begin() + static_cast<long>(*at), stream.begin() + static_cast<long>(*at + taken));
    *at += taken;
    return wire;
}

Bytes Opened(const SessionKeys& keys, const Envelope& envelope)
{
    HeapBlock plain;
    uint32_t length = 0;
    if (OpenEnvelope(keys, envelope, &plain, &length) != 0) {
        std::printf("a captured envelope does not open\n");
        std::exit(1);
    }
    return Bytes(plain.get(), plain.get() + length);
}

// Splits one exchange's two streams into the targets' inputs.
void SaveExchange(const std::string& name, const Bytes& secret)
{
    ServerHelloDecoder hello;
    bool refused = false;
    const uint32_t helloLength = FeedFields(&hello, fromService, &refused);
    ClientProofDecoder proof;
    const uint32_t proofLength = FeedFields(&proof, toService, &refused);
    if (!hello.Complete() || !proof.Complete()) {
        std::printf("%s: the handshake was not captured\n", name.c_str());
        std::exit(1);
    }
    Save("server_hello", name, Bytes(fromService.begin(), fromService.begin() + helloLength));
    Save("client_proof", name, Prefixed(0, Bytes(toService.begin(), toService.begin() + proofLength)));
    SessionKeys keys{};
    if (DeriveSessionKeys(secret.data(), static_cast<uint32_t>(secret.size()), hello.nonce().data(),
                          static_cast<uint32_t>(hello.nonce().size()), proof.clientNonce(), kClientNonceLength,
                          &keys) != 0) {
        std::printf("no session keys\n");
        std::exit(1);
    }
    size_t at = proofLength;
    Envelope request;
    Save("envelope", name + "-request", Prefixed(0, EnvelopeAt(toService, &at, &request)));
    at = helloLength;
    Envelope reply;
    Save("envelope", name + "-reply-in-pieces-of-7", Prefixed(7, EnvelopeAt(fromService, &at, &reply)));
    const Bytes requestPlain = Opened(keys, request);
    const Bytes replyPlain = Opened(keys, reply);
    WipeSessionKeys(&keys);
    Save("request_plaintext", name, requestPlain);
    Save("reply_plaintext", name, replyPlain);
    PlaintextView view;
    if (DecodeRequest(requestPlain, &view) != RequestCheck::Ok) {
        std::printf("the request plaintext does not decode\n");
        std::exit(1);
    }
    const Bytes payload(view.body, view.body + view.length);
    Save(view.word == kRequestPublicKey ? "public_key_payload" : "operation_payload", name, payload);
    toService.clear();
    fromService.clear();
}

Bytes ReadFileBytes(const std::wstring& path)
{
    Bytes bytes;
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (f != nullptr) {
        for (int c; (c = std::fgetc(f)) != EOF;) {
            bytes.push_back(static_cast<BYTE>(c));
        }
        std::fclose(f);
    }
    return bytes;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::printf("usage: capture_seeds <corpus folder> <pkcs1 key.der>\n");
        return 2;
    }
    outDir = argv[1];

    // A legacy blob, as crypt32 decodes a PKCS#1 key for the import.
    const int wideLength = MultiByteToWideChar(CP_UTF8, 0, argv[2], -1, nullptr, 0);
    std::wstring derPath(static_cast<size_t>(wideLength), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, argv[2], -1, derPath.data(), wideLength);
    derPath.resize(derPath.size() - 1);
    const Bytes der = ReadFileBytes(derPath);
    DWORD blobLength = 0;
    if (der.empty() || !CryptDecodeObjectEx(X509_ASN_ENCODING, PKCS_RSA_PRIVATE_KEY, der.data(),
                                            static_cast<DWORD>(der.size()), 0, nullptr, nullptr, &blobLength)) {
        std::printf("cannot decode %s\n", argv[2]);
        return 1;
    }
    Bytes legacy(blobLength);
    CryptDecodeObjectEx(X509_ASN_ENCODING, PKCS_RSA_PRIVATE_KEY, der.data(), static_cast<DWORD>(der.size()), 0,
                        nullptr, legacy.data(), &blobLength);
    legacy.resize(blobLength);
    Save("legacy_rsa_blob", "crypt32-pkcs1", legacy);

    zt::ServiceWithKeys service;
    std::string error;
    const std::wstring keyName = L"seed \x00e9";
    if (!service.Start({{keyName, 2048}}, 4, &error)) {
        std::printf("service: %s\n", error.c_str());
        return 1;
    }
    zt::LoadedProvider provider;
    if (!provider.ok()) {
        return 1;
    }
    HeapBlock secretBlock;
    if (LoadPipeSecret(&secretBlock) != 0) {
        std::printf("no pipe secret\n");
        return 1;
    }
    const Bytes secret(secretBlock.get(), secretBlock.get() + secretBlock.size());

    // The key file the service wrote.
    WIN32_FIND_DATAW found{};
    const std::wstring keys = service.root().widePath() + L"\\Zentrava\\keys\\";
    const HANDLE search = FindFirstFileW((keys + L"*.key").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        std::printf("no key file\n");
        return 1;
    }
    FindClose(search);
    Save("key_file", "service-2048", ReadFileBytes(keys + found.cFileName));

    zt::ImportPatch read(provider.module(), "kernel32.dll", "ReadFile", reinterpret_cast<void*>(&RecordingReadFile));
    readPatch = &read;
    zt::ImportPatch write(provider.module(), "kernel32.dll", "WriteFile", reinterpret_cast<void*>(&RecordingWriteFile));
    writePatch = &write;
    zt::ImportPatch result(provider.module(), "kernel32.dll", "GetOverlappedResult",
                           reinterpret_cast<void*>(&RecordingResult));
    resultPatch = &result;
    if (!read.active() || !write.active() || !result.active()) {
        std::printf("the DLL's pipe calls could not be patched\n");
        return 1;
    }

    NCRYPT_PROV_HANDLE prov = 0;
    NCRYPT_KEY_HANDLE key = 0;
    if (provider->OpenProvider(&prov, L"Zentrava Key Storage Provider", 0) != 0 ||
        provider->OpenKey(prov, &key, keyName.c_str(), 0, 0) != 0) {
        std::printf("OpenKey failed\n");
        return 1;
    }
    SaveExchange("open-key", secret);

    BYTE hash[32];
    for (BYTE i = 0; i < 32; ++i) {
        hash[i] = static_cast<BYTE>(i * 7);
    }
    BCRYPT_PKCS1_PADDING_INFO pkcs1{BCRYPT_SHA256_ALGORITHM};
    BYTE signature[256];
    DWORD n = 0;
    if (provider->SignHash(prov, key, &pkcs1, hash, sizeof(hash), signature, sizeof(signature), &n,
                           NCRYPT_PAD_PKCS1_FLAG) != 0) {
        std::printf("SignHash failed\n");
        return 1;
    }
    SaveExchange("sign-sha256-pkcs1", secret);

    const BYTE message[] = {'s', 'e', 'e', 'd'};
    BYTE cipher[256];
    BYTE plain[256];
    if (provider->Encrypt(prov, key, const_cast<BYTE*>(message), sizeof(message), nullptr, cipher, sizeof(cipher), &n,
                          NCRYPT_PAD_PKCS1_FLAG) != 0 ||
        provider->Decrypt(prov, key, cipher, n, nullptr, plain, sizeof(plain), &n, NCRYPT_PAD_PKCS1_FLAG) != 0) {
        std::printf("Decrypt failed\n");
        return 1;
    }
    SaveExchange("decrypt-pkcs1", secret);
    provider->FreeKey(prov, key);
    provider->FreeProvider(prov);
    return 0;
}

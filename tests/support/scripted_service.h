// A test-only signing service on the real pipe name that speaks the protocol
// correctly by default and can be told to misbehave at any step. It lives in
// its own DLL (zk_scripted_service.dll), so an Interposer on the test
// executable sees only the client's calls, never the server's.
//
// Several pipe instances, each with a thread that takes its connections one
// after another. Each connection uses the script that was set when it was
// accepted and is recorded as an ObservedExchange once the client has gone
// (or, when the service drops it, once it is dropped).
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#ifdef ZT_SCRIPTED_SERVICE_BUILD
#define ZT_SCRIPTED_API __declspec(dllexport)
#else
#define ZT_SCRIPTED_API __declspec(dllimport)
#endif

namespace zt {

// How the service behaves. Every field's default is the correct behaviour.
struct ServiceScript {
    // -- handshake --
    bool silent = false;                         // accept, then write nothing at all
    uint32_t hello = 1;                          // the server hello word
    std::optional<std::vector<BYTE>> serverNonce;  // default: 32 fresh random bytes
    // The nonce length field sent; default the nonce's size. A value outside
    // 1..32 is sent and then nothing more.
    std::optional<uint32_t> nonceLengthField;
    std::optional<std::vector<BYTE>> secret;     // default: LoadPipeSecret() in this process
    bool dropAfterProof = false;                 // read the proof, then disconnect
    // (A proof that does not verify always makes the service disconnect.)

    // -- reply plaintext --
    uint32_t statusWord = 0;
    std::vector<BYTE> replyPayload;
    std::optional<uint32_t> replyLengthField;    // the m sent; default replyPayload.size()
    std::vector<BYTE> trailing;                  // plaintext bytes after the payload
    bool echoRequest = false;                    // reply payload = the request's payload
    std::optional<std::vector<BYTE>> replyPlaintext;  // sent instead of the plaintext built above

    // -- reply envelope --
    // If set, the plaintext is zero-filled to the next whole block and its
    // last byte set to this value (0, 17, or 2 after a 0: invalid PKCS#7).
    std::optional<BYTE> badPaddingByte;
    std::optional<std::vector<BYTE>> rawCiphertext;  // sent instead of the encryption (MAC made over it)
    bool flipCiphertextBit = false;              // one bit flipped after the MAC was made
    std::optional<std::vector<BYTE>> replyIv;    // IV bytes sent instead of the one used
    std::vector<BYTE> replyIvXor;                // XORed into the IV sent (up to 16 bytes)
    // IV length field sent; default the IV's size. Outside 1..16: sent, then nothing more.
    std::optional<uint32_t> ivLengthField;
    // Ciphertext length field sent; if set, sent and then nothing more.
    std::optional<uint32_t> ciphertextLengthField;
    // MAC length sent: 32 is right; more sends the right MAC padded with zero
    // bytes; less sends its start; outside 1..128 is sent and then nothing more.
    uint32_t macLength = 32;

    // -- an impostor that does not know the secret --
    // Neither the proof nor the request is checked (they cannot be); the
    // reply envelope is built from what the client sent, with the IV sent
    // XORed with replyIvXor as above.
    enum class Impostor {
        None,
        EchoRequest,        // the request envelope itself: its IV, ciphertext and MAC
        NonceAsCiphertext,  // ciphertext = the server nonce (16 or 32 bytes), MAC = the client's proof
    };
    Impostor impostor = Impostor::None;
    // NonceAsCiphertext only: an IV chosen so that the first block decrypts
    // to these 16 bytes. A real impostor would have to guess it; the test
    // stands in for a lucky one by deriving the keys from `secret` (or the
    // store's secret), which nothing else in the impostor's reply uses.
    std::optional<std::vector<BYTE>> luckyFirstBlock;

    // -- delivery --
    bool splitFields = false;  // every field of two or more bytes in two writes, 20 ms apart
    // If set, the service writes only this many bytes in all (hello onward),
    // waits until the client has read them, and disconnects.
    std::optional<uint32_t> cutAfterBytes;
};

// What one connection saw and did, from the service's side.
struct ObservedExchange {
    std::vector<BYTE> serverNonce;
    uint32_t clientNonceLengthField = 0;
    std::vector<BYTE> clientNonce;
    std::vector<BYTE> secret;
    std::vector<BYTE> macKey;
    std::vector<BYTE> encryptionKey;
    uint32_t proofLengthField = 0;
    std::vector<BYTE> proof;
    bool proofValid = false;
    bool requestValid = false;            // request MAC verified and decrypted
    uint32_t requestIvLength = 0;
    std::vector<BYTE> requestIv;
    std::vector<BYTE> requestCiphertext;
    std::vector<BYTE> requestMac;
    std::vector<BYTE> requestPlaintext;
    uint32_t requestCode = 0;
    uint32_t payloadLengthField = 0;
    std::vector<BYTE> payload;
    std::vector<BYTE> replyPlaintext;
    bool replySent = false;
    std::string stoppedAt;                // empty if the script ran to its end
    // The level at which the service could impersonate the client
    // (SECURITY_IMPERSONATION_LEVEL), or -1 if it could not find out. Wine 8
    // reports SecurityImpersonation whatever level the client asked for.
    int impersonationLevel = -1;
};

class ZT_SCRIPTED_API ScriptedService {
public:
    // `instances` pipe instances, each served by its own thread, so that
    // many clients can be served at once.
    explicit ScriptedService(unsigned instances = 8);
    ~ScriptedService();  // Stop()
    ScriptedService(const ScriptedService&) = delete;
    ScriptedService& operator=(const ScriptedService&) = delete;

    // Creates the first pipe instance (so a client can connect as soon as this
    // returns) and starts serving. False if the name is taken or on error.
    bool Start();
    // Ends serving; any connection in progress is abandoned.
    void Stop();

    // Applies to connections accepted from now on.
    void SetScript(const ServiceScript& script);

    // Connections finished so far, oldest first.
    std::vector<ObservedExchange> Exchanges() const;
    size_t ExchangeCount() const;
    // Waits until at least `n` connections have finished.
    bool WaitForExchanges(size_t n, DWORD timeoutMs) const;
    // The last finished connection (waits up to 5 s for a first one).
    ObservedExchange Last() const;

    struct State;

private:
    State* state_;
};

}  // namespace zt

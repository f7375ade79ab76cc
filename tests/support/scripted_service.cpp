#define ZT_SCRIPTED_SERVICE_BUILD
#include "scripted_service.h"

#include "aes_cbc.h"
#include "envelope.h"
#include "hmac_sha256.h"
#include "pipe_secret.h"
#include "plaintexts.h"
#include "protocol.h"
#include "session_keys.h"

#include <bcrypt.h>

#include <algorithm>
#include <cstring>

namespace zt {

namespace {

// The service never gives up on a client sooner than the client would.
constexpr DWORD kServerWaitMs = 15000;

class Lock {
public:
    explicit Lock(SRWLOCK* l) : l_(l) { AcquireSRWLockExclusive(l_); }
    ~Lock() { ReleaseSRWLockExclusive(l_); }

private:
    SRWLOCK* l_;
};

std::vector<BYTE> Random(size_t n)
{
    std::vector<BYTE> v(n);
    if (n != 0) {
        BCryptGenRandom(nullptr, v.data(), static_cast<ULONG>(n), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    }
    return v;
}

std::vector<BYTE> U32Bytes(uint32_t v)
{
    std::vector<BYTE> b(4);
    PutU32(b.data(), v);
    return b;
}

}  // namespace

struct ScriptedService::State {
    mutable SRWLOCK lock = SRWLOCK_INIT;
    ServiceScript script;
    std::vector<ObservedExchange> finished;
    HANDLE stop = nullptr;
    HANDLE finishedEvent = nullptr;  // pulsed (auto-reset) on every finished exchange
    unsigned instances = 0;
    std::vector<HANDLE> pipes;
    std::vector<HANDLE> threads;
    std::vector<void*> workers;
};

namespace {

using State = ScriptedService::State;

HANDLE CreateInstance(bool first)
{
    DWORD mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
    if (first) {
        mode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
    }
    return CreateNamedPipeW(kPipeNameW, mode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT |
                                                 PIPE_REJECT_REMOTE_CLIENTS,
                            PIPE_UNLIMITED_INSTANCES, 65536, 65536, 0, nullptr);
}

// One connection's I/O: every operation also ends when the service stops.
class Connection {
public:
    Connection(HANDLE pipe, HANDLE stop, bool split, std::optional<uint32_t> budget)
        : pipe_(pipe), stop_(stop), split_(split), budget_(budget)
    {
    }

    bool Transfer(bool write, BYTE* p, DWORD n)
    {
        DWORD done = 0;
        while (done < n) {
            OVERLAPPED ov{};
            HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            if (event == nullptr) {
                return false;
            }
            ov.hEvent = event;
            const BOOL ok = write ? WriteFile(pipe_, p + done, n - done, nullptr, &ov)
                                  : ReadFile(pipe_, p + done, n - done, nullptr, &ov);
            DWORD moved = 0;
            bool good = false;
            if (ok || GetLastError() == ERROR_IO_PENDING) {
                HANDLE both[2] = {event, stop_};
                const DWORD w = WaitForMultipleObjects(2, both, FALSE, kServerWaitMs);
                if (w != WAIT_OBJECT_0) {
                    CancelIo(pipe_);
                }
                good = GetOverlappedResult(pipe_, &ov, &moved, TRUE) && w == WAIT_OBJECT_0;
            }
            CloseHandle(event);
            if (!good || moved == 0) {
                return false;
            }
            done += moved;
        }
        return true;
    }

    bool Write(const std::vector<BYTE>& bytes)
    {
        std::vector<BYTE> copy = bytes;
        DWORD n = static_cast<DWORD>(copy.size());
        if (budget_) {
            // Cut: what fits in the budget goes out, then nothing more.
            const DWORD allowed = n < *budget_ ? n : *budget_;
            *budget_ -= allowed;
            if (allowed < n) {
                cut_ = true;
                if (allowed != 0) {
                    Transfer(true, copy.data(), allowed);
                }
                return false;
            }
        }
        if (split_ && n >= 2) {
            const DWORD half = n / 2;
            if (!Transfer(true, copy.data(), half)) {
                return false;
            }
            Sleep(20);
            return Transfer(true, copy.data() + half, n - half);
        }
        return n == 0 || Transfer(true, copy.data(), n);
    }
    bool WriteU32(uint32_t v) { return Write(U32Bytes(v)); }

    bool Read(std::vector<BYTE>* out, DWORD n)
    {
        out->assign(n, 0);
        return n == 0 || Transfer(false, out->data(), n);
    }
    bool ReadInto(BYTE* out, DWORD n) { return n == 0 || Transfer(false, out, n); }
    bool ReadU32(uint32_t* v)
    {
        std::vector<BYTE> b;
        if (!Read(&b, 4)) {
            return false;
        }
        *v = GetU32(b.data());
        return true;
    }

    // Waits for the client to close its end (or for the service to stop).
    void DrainUntilClosed()
    {
        BYTE sink[256];
        for (;;) {
            OVERLAPPED ov{};
            HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            if (event == nullptr) {
                return;
            }
            ov.hEvent = event;
            const BOOL ok = ReadFile(pipe_, sink, sizeof sink, nullptr, &ov);
            bool more = false;
            if (ok || GetLastError() == ERROR_IO_PENDING) {
                HANDLE both[2] = {event, stop_};
                const DWORD w = WaitForMultipleObjects(2, both, FALSE, kServerWaitMs);
                if (w != WAIT_OBJECT_0) {
                    CancelIo(pipe_);
                }
                DWORD moved = 0;
                more = GetOverlappedResult(pipe_, &ov, &moved, TRUE) && w == WAIT_OBJECT_0;
            }
            CloseHandle(event);
            if (!more) {
                return;
            }
        }
    }

    HANDLE pipe() const { return pipe_; }
    bool cut() const { return cut_; }

private:
    HANDLE pipe_;
    HANDLE stop_;
    bool split_;
    std::optional<uint32_t> budget_;
    bool cut_ = false;
};

std::vector<BYTE> Hmac(const std::vector<BYTE>& key, const std::vector<BYTE>& data)
{
    std::vector<BYTE> out(kDigestLength);
    BYTE empty = 0;
    HmacSha256(key.data(), static_cast<uint32_t>(key.size()), data.empty() ? &empty : data.data(),
               static_cast<uint32_t>(data.size()), out.data());
    return out;
}

std::vector<BYTE> Aes(bool encrypt, const std::vector<BYTE>& key, const std::vector<BYTE>& iv,
                      const std::vector<BYTE>& in, bool pkcs7, bool* ok)
{
    HeapBlock out;
    uint32_t n = 0;
    BYTE empty = 0;
    *ok = AesCbcTransform(encrypt, key.data(), static_cast<uint32_t>(key.size()), iv.data(),
                          static_cast<uint32_t>(iv.size()), in.empty() ? &empty : in.data(),
                          static_cast<uint32_t>(in.size()), pkcs7, &out, &n) >= 0;
    std::vector<BYTE> v;
    if (*ok) {
        v.assign(out.get(), out.get() + n);
    }
    return v;
}

// What a pipe-squatting server would get from this client's token.
int ImpersonationLevel(HANDLE pipe)
{
    if (!ImpersonateNamedPipeClient(pipe)) {
        return -1;
    }
    int level = -1;
    HANDLE token = nullptr;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
        SECURITY_IMPERSONATION_LEVEL value{};
        DWORD got = 0;
        if (GetTokenInformation(token, TokenImpersonationLevel, &value, sizeof value, &got)) {
            level = static_cast<int>(value);
        }
        CloseHandle(token);
    }
    RevertToSelf();
    return level;
}

// Sends one envelope: IV length, IV, ciphertext length, ciphertext, MAC length, MAC.
bool WriteReplyEnvelope(Connection& c, const std::vector<BYTE>& iv, const std::vector<BYTE>& ciphertext,
                        const std::vector<BYTE>& mac)
{
    return c.WriteU32(static_cast<uint32_t>(iv.size())) && c.Write(iv) &&
           c.WriteU32(static_cast<uint32_t>(ciphertext.size())) && c.Write(ciphertext) &&
           c.WriteU32(static_cast<uint32_t>(mac.size())) && c.Write(mac);
}

// The rest of an exchange as a process without the secret plays it: take
// the proof and the request envelope as they come, answer with bytes made
// from them.
bool ServeAsImpostor(Connection& c, const ServiceScript& s, ObservedExchange& rec)
{
    uint32_t n = 0;
    if (!c.ReadU32(&rec.proofLengthField) || rec.proofLengthField > 64 ||
        !c.Read(&rec.proof, rec.proofLengthField) || !c.ReadU32(&rec.requestIvLength) ||
        rec.requestIvLength > 16 || !c.Read(&rec.requestIv, rec.requestIvLength) || !c.ReadU32(&n) ||
        n > kMaxEnvelopeCiphertextLength || !c.Read(&rec.requestCiphertext, n) || !c.ReadU32(&n) || n > 128 ||
        !c.Read(&rec.requestMac, n)) {
        rec.stoppedAt = "read request envelope";
        return false;
    }
    std::vector<BYTE> iv;
    std::vector<BYTE> ciphertext;
    std::vector<BYTE> mac;
    if (s.impostor == ServiceScript::Impostor::EchoRequest) {
        iv = rec.requestIv;
        ciphertext = rec.requestCiphertext;
        mac = rec.requestMac;
    } else {
        ciphertext = rec.serverNonce;
        mac = rec.proof;
        iv = Random(kIvLength);
        if (s.luckyFirstBlock) {
            // IV = D(first ciphertext block) XOR the wanted block.
            bool ok = false;
            const std::vector<BYTE> zeroIv(kIvLength, 0);
            const std::vector<BYTE> block(ciphertext.begin(), ciphertext.begin() + kAesBlockLength);
            const std::vector<BYTE> raw = Aes(false, rec.encryptionKey, zeroIv, block, false, &ok);
            for (size_t i = 0; ok && i < kIvLength; ++i) {
                iv[i] = static_cast<BYTE>(raw[i] ^ (*s.luckyFirstBlock)[i]);
            }
        }
    }
    for (size_t i = 0; i < s.replyIvXor.size() && i < iv.size(); ++i) {
        iv[i] ^= s.replyIvXor[i];
    }
    if (!WriteReplyEnvelope(c, iv, ciphertext, mac)) {
        rec.stoppedAt = "write reply envelope";
        return true;
    }
    rec.replySent = true;
    return true;
}

// Runs the script on one connected client. Returns true if the client is to
// be waited for until it closes, false if the connection is to be dropped.
bool Serve(Connection& c, const ServiceScript& s, ObservedExchange& rec)
{
    // Stopping by script waits for the client to close; a failure on our
    // side drops the client at once, as a real service would.
    auto stop = [&](const char* where) {
        rec.stoppedAt = where;
        return true;
    };
    auto drop = [&](const char* where) {
        rec.stoppedAt = where;
        return false;
    };
    if (s.silent) {
        return stop("silent");
    }
    if (!c.WriteU32(s.hello)) {
        return stop("write hello");
    }
    rec.serverNonce = s.serverNonce ? *s.serverNonce : Random(kMaxServerNonceLength);
    const uint32_t announced = s.nonceLengthField ? *s.nonceLengthField
                                                  : static_cast<uint32_t>(rec.serverNonce.size());
    if (!c.WriteU32(announced)) {
        return stop("write nonce length");
    }
    if (announced < kMinServerNonceLength || announced > kMaxServerNonceLength) {
        return stop("nonce length out of bounds");
    }
    if (!c.Write(rec.serverNonce)) {
        return stop("write nonce");
    }
    if (!c.ReadU32(&rec.clientNonceLengthField) || rec.clientNonceLengthField > 64 ||
        !c.Read(&rec.clientNonce, rec.clientNonceLengthField)) {
        return drop("read client nonce");
    }
    // Impersonation needs the client to have written something first.
    rec.impersonationLevel = ImpersonationLevel(c.pipe());
    if (s.secret) {
        rec.secret = *s.secret;
    } else {
        BYTE* secret = nullptr;
        uint32_t length = 0;
        if (LoadPipeSecret(&secret, &length) != 0) {
            return drop("load secret");
        }
        rec.secret.assign(secret, secret + length);
        SecureZeroMemory(secret, length);
        HeapFree(GetProcessHeap(), 0, secret);
    }
    std::vector<BYTE> joined = rec.serverNonce;
    joined.insert(joined.end(), rec.clientNonce.begin(), rec.clientNonce.end());
    joined.push_back(kMacKeyLabel);
    rec.macKey = Hmac(rec.secret, joined);
    joined.back() = kEncryptionKeyLabel;
    rec.encryptionKey = Hmac(rec.secret, joined);

    if (s.impostor != ServiceScript::Impostor::None) {
        return ServeAsImpostor(c, s, rec);
    }
    if (!c.ReadU32(&rec.proofLengthField) || rec.proofLengthField > 64 ||
        !c.Read(&rec.proof, rec.proofLengthField)) {
        return drop("read proof");
    }
    rec.proofValid = rec.proof == Hmac(rec.macKey, rec.serverNonce);
    if (s.dropAfterProof || !rec.proofValid) {
        return drop("dropped after proof");
    }

    Envelope request;
    if (!ReadEnvelopeFields([&c](void* buffer, uint32_t n) { return c.ReadInto(static_cast<BYTE*>(buffer), n); },
                            &request)) {
        return drop("read request envelope");
    }
    rec.requestIvLength = request.ivLength;
    rec.requestIv.assign(request.iv, request.iv + request.ivLength);
    rec.requestCiphertext.assign(request.ciphertext.get(), request.ciphertext.get() + request.ciphertextLength);
    rec.requestMac.assign(request.mac.get(), request.mac.get() + request.macLength);
    if (rec.requestMac != Hmac(rec.macKey, rec.requestCiphertext)) {
        return drop("request MAC");
    }
    bool ok = false;
    rec.requestPlaintext = Aes(false, rec.encryptionKey, rec.requestIv, rec.requestCiphertext, true, &ok);
    PlaintextView header;
    if (!ok || !GetPlaintextHeader(rec.requestPlaintext, &header)) {
        return drop("request decryption");
    }
    rec.requestCode = header.word;
    rec.payloadLengthField = header.length;
    if (header.length > header.available) {
        return drop("request payload length");
    }
    rec.payload.assign(header.body, header.body + header.length);
    rec.requestValid = true;

    // Reply plaintext and envelope.
    const std::vector<BYTE>& payload = s.echoRequest ? rec.payload : s.replyPayload;
    rec.replyPlaintext.assign(kPlaintextHeaderLength, 0);
    PutPlaintextHeader(rec.replyPlaintext.data(), s.statusWord,
                       s.replyLengthField ? *s.replyLengthField : static_cast<uint32_t>(payload.size()));
    rec.replyPlaintext.insert(rec.replyPlaintext.end(), payload.begin(), payload.end());
    rec.replyPlaintext.insert(rec.replyPlaintext.end(), s.trailing.begin(), s.trailing.end());
    if (s.replyPlaintext) {
        rec.replyPlaintext = *s.replyPlaintext;
    }
    const std::vector<BYTE> iv = Random(kIvLength);
    std::vector<BYTE> ciphertext;
    if (s.rawCiphertext) {
        ciphertext = *s.rawCiphertext;
    } else if (s.badPaddingByte) {
        std::vector<BYTE> padded = rec.replyPlaintext;
        padded.resize((padded.size() / kAesBlockLength + 1) * kAesBlockLength, 0);
        padded.back() = *s.badPaddingByte;
        ciphertext = Aes(true, rec.encryptionKey, iv, padded, false, &ok);
    } else {
        ciphertext = Aes(true, rec.encryptionKey, iv, rec.replyPlaintext, true, &ok);
    }
    if (!s.rawCiphertext && !ok) {
        return drop("reply encryption");
    }
    std::vector<BYTE> mac = Hmac(rec.macKey, ciphertext);
    if (s.flipCiphertextBit && !ciphertext.empty()) {
        ciphertext[ciphertext.size() / 2] ^= 0x10;
    }
    std::vector<BYTE> ivSent = s.replyIv ? *s.replyIv : iv;
    for (size_t i = 0; i < s.replyIvXor.size() && i < ivSent.size(); ++i) {
        ivSent[i] ^= s.replyIvXor[i];
    }
    const uint32_t ivLength = s.ivLengthField ? *s.ivLengthField : static_cast<uint32_t>(ivSent.size());
    if (!c.WriteU32(ivLength)) {
        return stop("write IV length");
    }
    if (ivLength < 1 || ivLength > kMaxEnvelopeIvLength) {
        return stop("IV length out of bounds");
    }
    ivSent.resize(ivLength, 0);
    if (!c.Write(ivSent)) {
        return stop("write IV");
    }
    if (s.ciphertextLengthField) {
        c.WriteU32(*s.ciphertextLengthField);
        return stop("ciphertext length announced");
    }
    if (!c.WriteU32(static_cast<uint32_t>(ciphertext.size())) || !c.Write(ciphertext)) {
        return stop("write ciphertext");
    }
    if (!c.WriteU32(s.macLength)) {
        return stop("write MAC length");
    }
    if (s.macLength < 1 || s.macLength > kMaxEnvelopeMacLength) {
        return stop("MAC length out of bounds");
    }
    mac.resize(s.macLength, 0);
    if (!c.Write(mac)) {
        return stop("write MAC");
    }
    rec.replySent = true;
    return true;
}

struct Worker {
    State* state;
    HANDLE pipe;
};

// Serves one pipe instance: connect, run the script, disconnect, again.
DWORD WINAPI ServeLoop(LPVOID param)
{
    Worker* w = static_cast<Worker*>(param);
    State* st = w->state;
    HANDLE pipe = w->pipe;
    for (;;) {
        OVERLAPPED ov{};
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ov.hEvent = event;
        bool connected = ConnectNamedPipe(pipe, &ov) != FALSE;
        DWORD connectError = 0;
        if (!connected) {
            connectError = GetLastError();
            if (connectError == ERROR_PIPE_CONNECTED) {
                connected = true;
            } else if (connectError == ERROR_IO_PENDING) {
                HANDLE both[2] = {event, st->stop};
                const DWORD r = WaitForMultipleObjects(2, both, FALSE, INFINITE);
                if (r != WAIT_OBJECT_0) {
                    CancelIo(pipe);
                }
                DWORD ignored = 0;
                connected = GetOverlappedResult(pipe, &ov, &ignored, TRUE) && r == WAIT_OBJECT_0;
                connectError = connected ? 0 : GetLastError();
            }
        }
        CloseHandle(event);
        if (WaitForSingleObject(st->stop, 0) == WAIT_OBJECT_0) {
            break;
        }
        if (!connected) {
            // A client that connected and closed before this instance got to
            // it: count the connection and listen again, so the instance is
            // not lost to the rest of the test.
            if (connectError != ERROR_NO_DATA && connectError != ERROR_BROKEN_PIPE) {
                break;
            }
            ObservedExchange gone;
            gone.stoppedAt = "client closed before serving";
            DisconnectNamedPipe(pipe);
            {
                Lock guard(&st->lock);
                st->finished.push_back(std::move(gone));
            }
            SetEvent(st->finishedEvent);
            continue;
        }
        ServiceScript script;
        {
            Lock guard(&st->lock);
            script = st->script;
        }
        ObservedExchange rec;
        Connection c(pipe, st->stop, script.splitFields, script.cutAfterBytes);
        if (Serve(c, script, rec) && !c.cut()) {
            c.DrainUntilClosed();
        }
        if (c.cut()) {
            // Let the client take what was written before the disconnect drops it.
            FlushFileBuffers(pipe);
            rec.stoppedAt = "cut";
        }
        DisconnectNamedPipe(pipe);
        {
            Lock guard(&st->lock);
            st->finished.push_back(std::move(rec));
        }
        SetEvent(st->finishedEvent);
    }
    return 0;
}

}  // namespace

ScriptedService::ScriptedService(unsigned instances) : state_(new State)
{
    state_->instances = instances == 0 ? 1 : instances;
}

ScriptedService::~ScriptedService()
{
    Stop();
    delete state_;
}

bool ScriptedService::Start()
{
    if (!state_->threads.empty()) {
        return true;
    }
    for (unsigned i = 0; i < state_->instances; ++i) {
        HANDLE pipe = CreateInstance(i == 0);
        if (pipe == INVALID_HANDLE_VALUE) {
            break;
        }
        state_->pipes.push_back(pipe);
    }
    if (state_->pipes.size() != state_->instances) {
        for (HANDLE pipe : state_->pipes) {
            CloseHandle(pipe);
        }
        state_->pipes.clear();
        return false;
    }
    state_->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    state_->finishedEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    for (HANDLE pipe : state_->pipes) {
        Worker* w = new Worker{state_, pipe};
        state_->workers.push_back(w);
        HANDLE thread = CreateThread(nullptr, 0, ServeLoop, w, 0, nullptr);
        if (thread != nullptr) {
            state_->threads.push_back(thread);
        }
    }
    if (state_->threads.size() != state_->pipes.size()) {
        Stop();
        return false;
    }
    return true;
}

void ScriptedService::Stop()
{
    if (state_->stop == nullptr) {
        return;
    }
    SetEvent(state_->stop);
    for (HANDLE thread : state_->threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    for (HANDLE pipe : state_->pipes) {
        CloseHandle(pipe);
    }
    for (void* w : state_->workers) {
        delete static_cast<Worker*>(w);
    }
    state_->threads.clear();
    state_->pipes.clear();
    state_->workers.clear();
    CloseHandle(state_->stop);
    CloseHandle(state_->finishedEvent);
    state_->stop = nullptr;
    state_->finishedEvent = nullptr;
}

void ScriptedService::SetScript(const ServiceScript& script)
{
    Lock guard(&state_->lock);
    state_->script = script;
}

std::vector<ObservedExchange> ScriptedService::Exchanges() const
{
    Lock guard(&state_->lock);
    return state_->finished;
}

size_t ScriptedService::ExchangeCount() const
{
    Lock guard(&state_->lock);
    return state_->finished.size();
}

bool ScriptedService::WaitForExchanges(size_t n, DWORD timeoutMs) const
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (ExchangeCount() < n) {
        const ULONGLONG now = GetTickCount64();
        if (now >= end || state_->finishedEvent == nullptr) {
            return false;
        }
        WaitForSingleObject(state_->finishedEvent, static_cast<DWORD>(std::min<ULONGLONG>(end - now, 50)));
    }
    return true;
}

ObservedExchange ScriptedService::Last() const
{
    WaitForExchanges(1, 5000);
    Lock guard(&state_->lock);
    return state_->finished.empty() ? ObservedExchange{} : state_->finished.back();
}

}  // namespace zt

// The wire library's codecs against byte strings written out by hand: the
// layouts both ends, the scripted service and the test helpers share.
#include "envelope.h"
#include "handshake.h"
#include "payloads.h"
#include "plaintexts.h"
#include "protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

Bytes Of(const HeapBlock& block)
{
    return Bytes(block.get(), block.get() + block.size());
}

TEST(WireFormat, OperationPayloadLayoutAndItsRefusals)
{
    const BYTE hash[3] = {0xAA, 0xBB, 0xCC};
    HeapBlock payload;
    ASSERT_EQ(0, EncodeOperationPayload(hash, 3, L"k\x0431", 2, 0x4A, &payload));
    const Bytes expected = {3, 0, 0, 0, 0xAA, 0xBB, 0xCC, 4, 0, 0, 0, 'k', 0, 0x31, 0x04, 0x4A, 0, 0, 0};
    EXPECT_EQ(expected, Of(payload));

    OperationRequest op;
    ASSERT_TRUE(DecodeOperationPayload(expected.data(), static_cast<uint32_t>(expected.size()), &op));
    EXPECT_EQ(Bytes(hash, hash + 3), Bytes(op.data, op.data + op.dataLength));
    EXPECT_TRUE(op.key.fits);
    EXPECT_EQ(std::wstring(L"k\x0431"), std::wstring(op.key.name.chars, op.key.name.length));
    EXPECT_EQ(0x4Au, op.flags);

    // No data and no name: 12 bytes.
    ASSERT_EQ(0, EncodeOperationPayload(nullptr, 0, L"", 0, 7, &payload));
    EXPECT_EQ((Bytes{0, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0}), Of(payload));

    // D + L + 12 beyond 32 bits is refused before anything is allocated.
    HeapBlock untouched;
    EXPECT_EQ(NTE_INVALID_PARAMETER, EncodeOperationPayload(hash, 0xFFFFFFF4u, L"k", 1, 0, &untouched));
    EXPECT_FALSE(untouched);

    const auto refused = [&](Bytes bytes) {
        OperationRequest r;
        return !DecodeOperationPayload(bytes.data(), static_cast<uint32_t>(bytes.size()), &r);
    };
    EXPECT_TRUE(refused(Bytes(expected.begin(), expected.begin() + 11)));  // under 12 bytes
    Bytes longer = expected;
    longer.push_back(0);
    EXPECT_TRUE(refused(longer));  // L does not account for the last byte
    Bytes bigD = expected;
    bigD[0] = 9;
    EXPECT_TRUE(refused(bigD));  // D reaches past the rest
    Bytes oddName = {0, 0, 0, 0, 3, 0, 0, 0, 'a', 0, 'b', 0, 0, 0, 0};
    EXPECT_TRUE(refused(oddName));

    // A well-formed name longer than any key name decodes, but names no key.
    const std::wstring tooLong(kMaxKeyNameChars + 1, L'n');
    ASSERT_EQ(0, EncodeOperationPayload(hash, 3, tooLong.c_str(), static_cast<uint32_t>(tooLong.size()), 2,
                                        &payload));
    ASSERT_TRUE(DecodeOperationPayload(payload.get(), static_cast<uint32_t>(payload.size()), &op));
    EXPECT_FALSE(op.key.fits);
    EXPECT_EQ(0u, op.key.name.length);
    EXPECT_EQ(2u, op.flags);
}

TEST(WireFormat, PublicKeyPayloadIsTheNameAndNamesAreBounded)
{
    const wchar_t* name = L"ab";
    EXPECT_EQ((Bytes{'a', 0, 'b', 0}), Bytes(PublicKeyPayload(name), PublicKeyPayload(name) + KeyNameWireLength(2)));
    RequestedKey key;
    const Bytes longest(2 * kMaxKeyNameChars, 'x');
    ASSERT_TRUE(DecodePublicKeyPayload(longest.data(), static_cast<uint32_t>(longest.size()), &key));
    EXPECT_TRUE(key.fits);
    EXPECT_EQ(kMaxKeyNameChars, key.name.length);
    EXPECT_EQ(static_cast<wchar_t>(0x7878), key.name.chars[0]);
    const Bytes over(2 * kMaxKeyNameChars + 2, 'x');
    ASSERT_TRUE(DecodePublicKeyPayload(over.data(), static_cast<uint32_t>(over.size()), &key));
    EXPECT_FALSE(key.fits);
    EXPECT_FALSE(DecodePublicKeyPayload(longest.data(), 5, &key));
    EXPECT_TRUE(DecodePublicKeyPayload(longest.data(), 0, &key));
    EXPECT_TRUE(key.fits);
    EXPECT_EQ(0u, key.name.length);
}

TEST(WireFormat, RequestAndReplyPlaintexts)
{
    const BYTE body[2] = {0x10, 0x20};
    HeapBlock request;
    ASSERT_EQ(0, EncodeRequest(kRequestSignHash, body, 2, &request));
    const Bytes expected = {2, 0, 0, 0, 2, 0, 0, 0, 0x10, 0x20};
    EXPECT_EQ(expected, Of(request));

    PlaintextView view;
    EXPECT_EQ(RequestCheck::Ok, DecodeRequest(expected.data(), expected.size(), &view));
    EXPECT_EQ(kRequestSignHash, view.word);
    EXPECT_EQ(Bytes(body, body + 2), Bytes(view.body, view.body + view.length));
    EXPECT_EQ(RequestCheck::TooShort, DecodeRequest(expected.data(), 7, &view));
    EXPECT_EQ(RequestCheck::BadLength, DecodeRequest(expected.data(), 9, &view));
    EXPECT_EQ(kRequestSignHash, view.word);  // the code is known all the same
    Bytes trailing = expected;
    trailing.push_back(0);
    EXPECT_EQ(RequestCheck::BadLength, DecodeRequest(trailing.data(), trailing.size(), &view));

    HeapBlock reply;
    ASSERT_TRUE(EncodeReply(5, nullptr, 0, &reply));
    EXPECT_EQ((Bytes{5, 0, 0, 0, 0, 0, 0, 0}), Of(reply));
    // m bytes and an ignored tail.
    const Bytes withTail = {0, 0, 0, 0, 1, 0, 0, 0, 0x77, 0x01, 0x02};
    ASSERT_TRUE(DecodeReply(withTail.data(), withTail.size(), &view));
    EXPECT_EQ(0u, view.word);
    EXPECT_EQ(1u, view.length);
    EXPECT_EQ(0x77, view.body[0]);
    const Bytes beyond = {0, 0, 0, 0, 4, 0, 0, 0, 1, 2, 3};
    EXPECT_FALSE(DecodeReply(beyond.data(), beyond.size(), &view));
    const Bytes huge = {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1};
    EXPECT_FALSE(DecodeReply(huge.data(), huge.size(), &view));
    EXPECT_FALSE(DecodeReply(withTail.data(), 7, &view));
}

// An envelope with recognizable contents and its wire bytes.
void MakeEnvelope(Envelope* e, Bytes* wire)
{
    e->ivLength = kIvLength;
    for (BYTE i = 0; i < kIvLength; ++i) {
        e->iv[i] = static_cast<BYTE>(0x40 + i);
    }
    e->ciphertext = HeapBlock(20);
    e->ciphertextLength = 20;
    for (BYTE i = 0; i < 20; ++i) {
        e->ciphertext.get()[i] = static_cast<BYTE>(0x80 + i);
    }
    e->mac = HeapBlock(3);
    e->macLength = 3;
    e->mac.get()[0] = 1;
    e->mac.get()[1] = 2;
    e->mac.get()[2] = 3;
    *wire = {16, 0, 0, 0};
    wire->insert(wire->end(), e->iv, e->iv + 16);
    wire->insert(wire->end(), {20, 0, 0, 0});
    wire->insert(wire->end(), e->ciphertext.get(), e->ciphertext.get() + 20);
    wire->insert(wire->end(), {3, 0, 0, 0, 1, 2, 3});
}

TEST(WireFormat, EnvelopeBytesAndTheDecoderOverAnyCut)
{
    Envelope sent;
    Bytes wire;
    MakeEnvelope(&sent, &wire);
    HeapBlock encoded;
    ASSERT_TRUE(EncodeEnvelope(sent, &encoded));
    EXPECT_EQ(wire, Of(encoded));

    // Fed all at once, one byte at a time, and in pieces of 7.
    for (uint32_t piece : {static_cast<uint32_t>(wire.size()), 1u, 7u}) {
        SCOPED_TRACE(piece);
        Envelope got;
        EnvelopeDecoder decoder(&got);
        uint32_t at = 0;
        bool refused = false;
        while (at < wire.size() && !refused) {
            const uint32_t n = std::min<uint32_t>(piece, static_cast<uint32_t>(wire.size()) - at);
            const uint32_t taken = FeedFields(&decoder, wire.data() + at, n, &refused);
            EXPECT_EQ(n, taken);
            at += taken;
        }
        EXPECT_FALSE(refused);
        ASSERT_TRUE(decoder.Complete());
        HeapBlock again;
        ASSERT_TRUE(EncodeEnvelope(got, &again));
        EXPECT_EQ(wire, Of(again));
    }

    // Bytes after the envelope are left to the caller.
    Bytes more = wire;
    more.push_back(0x99);
    Envelope got;
    EnvelopeDecoder decoder(&got);
    bool refused = false;
    EXPECT_EQ(wire.size(), FeedFields(&decoder, more.data(), static_cast<uint32_t>(more.size()), &refused));
    EXPECT_TRUE(decoder.Complete());

    // A length out of bounds is refused when its field is whole; nothing
    // after it is taken and no block is made for it.
    const auto refusedAt = [](Bytes bytes, size_t expectedTaken) {
        Envelope e;
        EnvelopeDecoder d(&e);
        bool bad = false;
        const uint32_t taken = FeedFields(&d, bytes.data(), static_cast<uint32_t>(bytes.size()), &bad);
        EXPECT_TRUE(bad);
        EXPECT_EQ(expectedTaken, taken);
        EXPECT_FALSE(e.mac);
        return bad;
    };
    Bytes ivZero = wire;
    ivZero[0] = 0;
    refusedAt(ivZero, 4);
    Bytes ivLong = wire;
    ivLong[0] = 17;
    refusedAt(ivLong, 4);
    Bytes ctHuge = wire;
    ctHuge[20] = 1;  // 1,048,577
    ctHuge[21] = 0;
    ctHuge[22] = 0x10;
    refusedAt(ctHuge, 24);
    Bytes macLong = wire;
    macLong[44] = 129;
    refusedAt(macLong, 48);

    // An envelope whose lengths do not match what it holds is not written.
    sent.ivLength = 17;
    EXPECT_FALSE(EncodeEnvelope(sent, &encoded));
    sent.ivLength = kIvLength;
    sent.macLength = 4;
    EXPECT_FALSE(EncodeEnvelope(sent, &encoded));
}

TEST(WireFormat, HandshakeFields)
{
    BYTE nonce[kMaxServerNonceLength];
    for (BYTE i = 0; i < kMaxServerNonceLength; ++i) {
        nonce[i] = static_cast<BYTE>(i + 1);
    }
    BYTE out[kServerHelloMaxLength] = {};
    uint32_t length = 0;
    ASSERT_TRUE(EncodeServerHello(nonce, 2, out, &length));
    EXPECT_EQ((Bytes{1, 0, 0, 0, 2, 0, 0, 0, 1, 2}), Bytes(out, out + length));
    ASSERT_TRUE(EncodeServerHello(nonce, kMaxServerNonceLength, out, &length));
    EXPECT_EQ(40u, length);
    EXPECT_FALSE(EncodeServerHello(nonce, 0, out, &length));
    EXPECT_FALSE(EncodeServerHello(nonce, kMaxServerNonceLength + 1, out, &length));
    EXPECT_EQ(0u, length);

    Bytes client = {32, 0, 0, 0};
    for (BYTE i = 0; i < 32; ++i) {
        client.push_back(static_cast<BYTE>(0xC0 + i));
    }
    client.insert(client.end(), {32, 0, 0, 0});
    for (BYTE i = 0; i < 32; ++i) {
        client.push_back(static_cast<BYTE>(0x10 + i));
    }
    ClientProofDecoder proof;
    bool refused = false;
    EXPECT_EQ(client.size(), FeedFields(&proof, client.data(), static_cast<uint32_t>(client.size()), &refused));
    ASSERT_TRUE(proof.Complete());
    EXPECT_EQ(Bytes(client.begin() + 4, client.begin() + 36), Bytes(proof.clientNonce(), proof.clientNonce() + 32));
    EXPECT_EQ(Bytes(client.begin() + 40, client.end()), Bytes(proof.proof(), proof.proof() + 32));

    for (size_t at : {size_t{0}, size_t{36}}) {
        Bytes wrong = client;
        wrong[at] = 31;
        ClientProofDecoder d;
        EXPECT_EQ(at + 4, FeedFields(&d, wrong.data(), static_cast<uint32_t>(wrong.size()), &refused));
        EXPECT_TRUE(refused);
        EXPECT_FALSE(d.Complete());
    }
}

}  // namespace

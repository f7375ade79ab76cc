// The wire library's codecs against byte strings written out by hand: the
// layouts both ends, the scripted service and the test helpers share.
#include "envelope_layout.h"
#include "handshake.h"
#include "payloads.h"
#include "plaintexts.h"
#include "protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Of(const HeapBlock& block)
{
    return Bytes(block.get(), block.get() + block.size());
}

TEST(WireFormat, OperationPayloadLayoutAndItsRefusals)
{
    const std::uint8_t hash[3] = {0xAA, 0xBB, 0xCC};
    HeapBlock payload;
    ASSERT_EQ(0, EncodeOperationPayload(hash, u"k\x0431", 0x4A, &payload));
    const Bytes expected = {3, 0, 0, 0, 0xAA, 0xBB, 0xCC, 4, 0, 0, 0, 'k', 0, 0x31, 0x04, 0x4A, 0, 0, 0};
    EXPECT_EQ(expected, Of(payload));

    OperationRequest op;
    ASSERT_TRUE(DecodeOperationPayload(expected, &op));
    EXPECT_EQ(Bytes(hash, hash + 3), Bytes(op.data, op.data + op.dataLength));
    EXPECT_TRUE(op.key.fits);
    EXPECT_EQ(std::u16string(u"k\x0431"), std::u16string(op.key.name.view()));
    EXPECT_EQ(0x4Au, op.flags);

    // No data and no name: 12 bytes.
    ASSERT_EQ(0, EncodeOperationPayload({}, u"", 7, &payload));
    EXPECT_EQ((Bytes{0, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0}), Of(payload));

    // D + L + 12 beyond 32 bits is refused before anything is allocated.
    HeapBlock untouched;
    EXPECT_EQ(NTE_INVALID_PARAMETER, EncodeOperationPayload(std::span<const std::uint8_t>(hash, 0xFFFFFFF4u), u"k", 0, &untouched));
    EXPECT_FALSE(untouched);

    const auto refused = [&](Bytes bytes) {
        OperationRequest r;
        return !DecodeOperationPayload(bytes, &r);
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
    const std::u16string tooLong(kMaxKeyNameChars + 1, u'n');
    ASSERT_EQ(0, EncodeOperationPayload(hash, tooLong, 2, &payload));
    ASSERT_TRUE(DecodeOperationPayload({payload.get(), payload.size()}, &op));
    EXPECT_FALSE(op.key.fits);
    EXPECT_EQ(0u, op.key.name.length);
    EXPECT_EQ(2u, op.flags);
}

TEST(WireFormat, PublicKeyPayloadIsTheNameAndNamesAreBounded)
{
    Bytes name(KeyNameWireLength(2));
    PutKeyName(name.data(), u"ab");
    EXPECT_EQ((Bytes{'a', 0, 'b', 0}), name);
    RequestedKey key;
    const Bytes longest(2 * kMaxKeyNameChars, 'x');
    ASSERT_TRUE(DecodePublicKeyPayload(longest, &key));
    EXPECT_TRUE(key.fits);
    EXPECT_EQ(kMaxKeyNameChars, key.name.length);
    EXPECT_EQ(static_cast<char16_t>(0x7878), key.name.chars[0]);
    const Bytes over(2 * kMaxKeyNameChars + 2, 'x');
    ASSERT_TRUE(DecodePublicKeyPayload(over, &key));
    EXPECT_FALSE(key.fits);
    EXPECT_FALSE(DecodePublicKeyPayload({longest.data(), 5}, &key));
    EXPECT_TRUE(DecodePublicKeyPayload({longest.data(), 0}, &key));
    EXPECT_TRUE(key.fits);
    EXPECT_EQ(0u, key.name.length);
}

TEST(WireFormat, RequestAndReplyPlaintexts)
{
    const std::uint8_t body[2] = {0x10, 0x20};
    HeapBlock request;
    ASSERT_EQ(0, EncodeRequest(kRequestSignHash, body, &request));
    const Bytes expected = {2, 0, 0, 0, 2, 0, 0, 0, 0x10, 0x20};
    EXPECT_EQ(expected, Of(request));

    PlaintextView view;
    EXPECT_EQ(RequestCheck::Ok, DecodeRequest(expected, &view));
    EXPECT_EQ(kRequestSignHash, view.word);
    EXPECT_EQ(Bytes(body, body + 2), Bytes(view.body, view.body + view.length));
    EXPECT_EQ(RequestCheck::TooShort, DecodeRequest({expected.data(), 7}, &view));
    EXPECT_EQ(RequestCheck::BadLength, DecodeRequest({expected.data(), 9}, &view));
    EXPECT_EQ(kRequestSignHash, view.word);  // the code is known all the same
    Bytes trailing = expected;
    trailing.push_back(0);
    EXPECT_EQ(RequestCheck::BadLength, DecodeRequest(trailing, &view));

    HeapBlock reply;
    ASSERT_TRUE(EncodeReply(5, {}, &reply));
    EXPECT_EQ((Bytes{5, 0, 0, 0, 0, 0, 0, 0}), Of(reply));
    // m bytes and an ignored tail.
    const Bytes withTail = {0, 0, 0, 0, 1, 0, 0, 0, 0x77, 0x01, 0x02};
    ASSERT_TRUE(DecodeReply(withTail, &view));
    EXPECT_EQ(0u, view.word);
    EXPECT_EQ(1u, view.length);
    EXPECT_EQ(0x77, view.body[0]);
    const Bytes beyond = {0, 0, 0, 0, 4, 0, 0, 0, 1, 2, 3};
    EXPECT_FALSE(DecodeReply(beyond, &view));
    const Bytes huge = {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1};
    EXPECT_FALSE(DecodeReply(huge, &view));
    EXPECT_FALSE(DecodeReply({withTail.data(), 7}, &view));
}

// An envelope with recognizable contents and its wire bytes.
void MakeEnvelope(Envelope* e, Bytes* wire)
{
    e->ivLength = kIvLength;
    for (std::uint8_t i = 0; i < kIvLength; ++i) {
        e->iv[i] = static_cast<std::uint8_t>(0x40 + i);
    }
    e->ciphertext = HeapBlock(20);
    e->ciphertextLength = 20;
    for (std::uint8_t i = 0; i < 20; ++i) {
        e->ciphertext.get()[i] = static_cast<std::uint8_t>(0x80 + i);
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
            const uint32_t taken = FeedFields(&decoder, {wire.data() + at, n}, &refused);
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
    EXPECT_EQ(wire.size(), FeedFields(&decoder, more, &refused));
    EXPECT_TRUE(decoder.Complete());

    // A length out of bounds is refused when its field is whole; nothing
    // after it is taken and no block is made for it.
    const auto refusedAt = [](Bytes bytes, size_t expectedTaken) {
        Envelope e;
        EnvelopeDecoder d(&e);
        bool bad = false;
        const uint32_t taken = FeedFields(&d, bytes, &bad);
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
    std::uint8_t nonce[kMaxServerNonceLength + 1] = {};
    for (std::uint8_t i = 0; i < kMaxServerNonceLength; ++i) {
        nonce[i] = static_cast<std::uint8_t>(i + 1);
    }
    std::uint8_t out[kServerHelloMaxLength] = {};
    uint32_t length = 0;
    ASSERT_TRUE(EncodeServerHello({nonce, 2}, out, &length));
    EXPECT_EQ((Bytes{1, 0, 0, 0, 2, 0, 0, 0, 1, 2}), Bytes(out, out + length));
    ASSERT_TRUE(EncodeServerHello({nonce, kMaxServerNonceLength}, out, &length));
    EXPECT_EQ(40u, length);
    EXPECT_FALSE(EncodeServerHello({nonce, 0}, out, &length));
    EXPECT_FALSE(EncodeServerHello({nonce, kMaxServerNonceLength + 1}, out, &length));
    EXPECT_EQ(0u, length);

    // The provider's reader takes back what the service writes, and refuses
    // a wrong hello word or nonce length as soon as that field is whole.
    ASSERT_TRUE(EncodeServerHello({nonce, 5}, out, &length));
    const Bytes hello(out, out + length);
    ServerHelloDecoder read;
    bool refused = false;
    EXPECT_EQ(hello.size(), FeedFields(&read, hello, &refused));
    ASSERT_TRUE(read.Complete());
    EXPECT_EQ(Bytes(nonce, nonce + 5), Bytes(read.nonce().begin(), read.nonce().end()));
    for (const auto& [at, value] : {std::pair{0, 2}, std::pair{4, 0}, std::pair{4, 33}}) {
        Bytes wrong = hello;
        wrong[at] = static_cast<std::uint8_t>(value);
        ServerHelloDecoder d;
        EXPECT_EQ(static_cast<uint32_t>(at + 4), FeedFields(&d, wrong, &refused)) << at << " " << value;
        EXPECT_TRUE(refused);
    }

    Bytes client = {32, 0, 0, 0};
    for (std::uint8_t i = 0; i < 32; ++i) {
        client.push_back(static_cast<std::uint8_t>(0xC0 + i));
    }
    client.insert(client.end(), {32, 0, 0, 0});
    for (std::uint8_t i = 0; i < 32; ++i) {
        client.push_back(static_cast<std::uint8_t>(0x10 + i));
    }
    ClientProofDecoder proof;
    EXPECT_EQ(client.size(), FeedFields(&proof, client, &refused));
    ASSERT_TRUE(proof.Complete());
    EXPECT_EQ(Bytes(client.begin() + 4, client.begin() + 36), Bytes(proof.clientNonce(), proof.clientNonce() + 32));
    EXPECT_EQ(Bytes(client.begin() + 40, client.end()), Bytes(proof.proof(), proof.proof() + 32));

    for (size_t at : {size_t{0}, size_t{36}}) {
        Bytes wrong = client;
        wrong[at] = 31;
        ClientProofDecoder d;
        EXPECT_EQ(at + 4, FeedFields(&d, wrong, &refused));
        EXPECT_TRUE(refused);
        EXPECT_FALSE(d.Complete());
    }
}

}  // namespace

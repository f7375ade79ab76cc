// A client built from the protocol library's pieces, for what PipeExchange
// does not show: the reply's status word, and a wrong proof.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

struct RawReply {
    bool received = false;   // a reply envelope came back and opened
    uint32_t status = 0;     // the reply's status word
    std::vector<BYTE> payload;
};

// One exchange with the plaintext given as is (code, length, payload).
// With corruptProof the proof sent has one bit flipped.
RawReply RawExchange(const std::vector<BYTE>& requestPlaintext, bool corruptProof = false);

// Request plaintexts as the provider builds them.
std::vector<BYTE> NameBytes(const wchar_t* name);
std::vector<BYTE> Request(uint32_t code, const std::vector<BYTE>& payload);
std::vector<BYTE> OperationPayload(const std::vector<BYTE>& data, const wchar_t* keyName, uint32_t flags);

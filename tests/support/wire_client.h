// The pieces of the wire a test writes itself, all made by the wire
// library's encoders (whose bytes tests/channel/wire_format_test.cpp pins
// independently): request payloads and plaintexts as the provider builds
// them, and a raw client for what PipeExchange does not show.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

namespace zt {

// The public-key payload: the name's UTF-16LE bytes without the terminator.
std::vector<BYTE> NameBytes(const wchar_t* name);
// The sign and decrypt payload: D, data, L, name, flags.
std::vector<BYTE> OperationPayload(const std::vector<BYTE>& data, const wchar_t* name, uint32_t flags);
// A request plaintext: code, n, payload.
std::vector<BYTE> RequestPlaintext(uint32_t code, const std::vector<BYTE>& payload);

struct RawReply {
    bool received = false;  // a reply envelope came back and opened
    uint32_t status = 0;    // the reply's status word
    std::vector<BYTE> payload;
};

// One exchange on the real pipe with the plaintext given as is; with
// corruptProof the proof sent has one bit flipped. Shows the reply's status
// word, which PipeExchange keeps to itself.
RawReply RawExchange(const std::vector<BYTE>& requestPlaintext, bool corruptProof = false);

// A blocking ReadFile on `pipe` (opened without FILE_FLAG_OVERLAPPED) that
// a hang guard cancels after `giveUpMs`: then false with ERROR_OPERATION_ABORTED
// as the last error; otherwise ReadFile's own result and last error.
bool GuardedRead(HANDLE pipe, void* buffer, DWORD length, DWORD* got, DWORD giveUpMs);

// How the client's fields 4 to 13 go out: each field in a write of its own
// (as the provider does), all of them in one write, or a byte per write.
enum class ClientWrites { FieldByField, AllAtOnce, ByteByByte };
RawReply RawExchange(const std::vector<BYTE>& requestPlaintext, ClientWrites writes);

// All fields in one write, followed by `strayBytes` bytes nobody asked for.
RawReply RawExchangeWithStray(const std::vector<BYTE>& requestPlaintext, size_t strayBytes);

}  // namespace zt

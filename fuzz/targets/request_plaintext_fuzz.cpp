// A request plaintext as the service finds it in an opened envelope (a peer
// with the secret can send any bytes): accepted exactly when n is the rest,
// and then what the provider's writer makes of the code and payload.
#include "fuzz_check.h"
#include "plaintexts.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> plaintext(data, size);
    PlaintextView view;
    const RequestCheck check = DecodeRequest(plaintext, &view);
    if (size < kPlaintextHeaderLength) {
        FUZZ_CHECK(check == RequestCheck::TooShort);
        return 0;
    }
    FUZZ_CHECK(check != RequestCheck::TooShort && view.word == GetU32(data));
    FUZZ_CHECK((check == RequestCheck::Ok) == (GetU32(data + 4) == size - kPlaintextHeaderLength));
    if (check != RequestCheck::Ok) {
        return 0;
    }
    HeapBlock again;
    FUZZ_CHECK(EncodeRequest(view.word, view.payload(), &again) == ZK_SUCCESS);
    FUZZ_CHECK(again.size() == size && std::equal(data, data + size, again.get()));
    return 0;
}

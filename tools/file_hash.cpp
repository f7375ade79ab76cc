#include "file_hash.h"
#include "hash_algorithm.h"

#include "unique_resource.h"

#include <bcrypt.h>

namespace zkt {
namespace {

CallResult Result(NTSTATUS status, const char* operation)
{
    CallResult r;
    r.status = status;
    r.operation = operation;
    return r;
}

}  // namespace

CallResult HashBytes(HashAlgorithm algorithm, const std::vector<uint8_t>& data, std::vector<uint8_t>& digest)
{
    UniqueBcryptAlgorithm alg;
    NTSTATUS st = BCryptOpenAlgorithmProvider(alg.Put(), HashAlgorithmId(algorithm), nullptr, 0);
    if (st != 0) {
        alg.Forget();
        return Result(st, "BCryptOpenAlgorithmProvider (hash)");
    }
    UniqueBcryptHash hash;
    // A null hash object lets BCrypt allocate it.
    st = BCryptCreateHash(alg.get(), hash.Put(), nullptr, 0, nullptr, 0, 0);
    if (st != 0) {
        hash.Forget();
        return Result(st, "BCryptCreateHash");
    }
    // BCryptHashData takes a ULONG length: feed large inputs in pieces.
    size_t done = 0;
    while (done < data.size()) {
        const size_t left = data.size() - done;
        const ULONG chunk = static_cast<ULONG>(left > 0x40000000 ? 0x40000000 : left);
        st = BCryptHashData(hash.get(), const_cast<PUCHAR>(data.data() + done), chunk, 0);
        if (st != 0) {
            return Result(st, "BCryptHashData");
        }
        done += chunk;
    }
    digest.assign(HashDigestSize(algorithm), 0);
    st = BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0);
    return Result(st, "BCryptFinishHash");
}

}  // namespace zkt

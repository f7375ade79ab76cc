// What lending one event to all transfers of an exchange saves: 19 timed
// transfers on an in-process pipe pair, each with its own event, against the
// same 19 on one event, alternated.
#include "bench.h"

#include "pipe_pair.h"
#include "timed_pipe_io.h"
#include "unique_resource.h"

#include <cstdio>

namespace bench {

namespace {

using zt::PipePair;

// The 19 fields of an exchange as writes on one end and reads on the other.
bool Fields(const PipePair& p, HANDLE event)
{
    static const uint32_t kSizes[19] = {4, 4, 32, 4, 32, 4, 32, 4, 16, 4, 64, 4, 32, 4, 16, 4, 272, 4, 32};
    BYTE buffer[512] = {};
    for (uint32_t size : kSizes) {
        if (!TimedPipeWrite(p.client, buffer, size, nullptr, event) ||
            !TimedPipeRead(p.server, buffer, size, nullptr, event)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool RunTransferCost(const Settings& s, Results* r)
{
    PipePair p(L"\\\\.\\pipe\\ZentravaBenchTransfers");
    if (!p.ok()) {
        std::printf("transfer cost: no pipe pair\n");
        return false;
    }
    const UniqueHandle lent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    Paired t;
    const bool ok = Alternate([&] { return Fields(p, nullptr); }, [&] { return Fields(p, lent.get()); },
                              s.quick ? 41 : 401, 1, &t);
    if (!ok) {
        std::printf("transfer cost: a transfer failed\n");
        return false;
    }
    r->service.push_back({"19 field writes + reads, an event made per transfer",
                          "the same on one lent event", Summarize(t.a), Summarize(t.b)});
    std::printf("transfers: own events %.1f us, one lent event %.1f us\n", r->service.back().a.median,
                r->service.back().b.median);
    return true;
}

}  // namespace bench

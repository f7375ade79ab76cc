#include "service_threads.h"

#include "unique_resource.h"

#include <tlhelp32.h>

namespace zt {

unsigned CountThreads(DWORD pid)
{
    UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) {
        return 0;
    }
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    unsigned n = 0;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
        n += entry.th32OwnerProcessID == pid ? 1 : 0;
    }
    return n;
}

ThreadSampler::ThreadSampler(DWORD pid) : pid_(pid)
{
    sampler_ = std::thread([this] {
        while (!stop_.load()) {
            const unsigned n = CountThreads(pid_);
            if (n > peak_.load()) {
                peak_.store(n);
            }
            Sleep(20);
        }
    });
}

ThreadSampler::~ThreadSampler()
{
    Stop();
}

unsigned ThreadSampler::Stop()
{
    stop_.store(true);
    if (sampler_.joinable()) {
        sampler_.join();
    }
    return peak_.load();
}

}  // namespace zt

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

ThreadSampler::ThreadSampler(DWORD pid, DWORD intervalMs) : pid_(pid), intervalMs_(intervalMs)
{
    sampler_.Reset(CreateThread(nullptr, 0, Sample, this, 0, nullptr));
}

ThreadSampler::~ThreadSampler()
{
    Stop();
}

DWORD WINAPI ThreadSampler::Sample(void* self)
{
    auto* s = static_cast<ThreadSampler*>(self);
    while (!s->stop_.load()) {
        const unsigned n = CountThreads(s->pid_);
        if (n > s->peak_.load()) {
            s->peak_.store(n);
        }
        Sleep(s->intervalMs_);
    }
    return 0;
}

unsigned ThreadSampler::Stop()
{
    stop_.store(true);
    if (sampler_) {
        WaitForSingleObject(sampler_.get(), INFINITE);
        sampler_.Reset();
    }
    return peak_.load();
}

}  // namespace zt

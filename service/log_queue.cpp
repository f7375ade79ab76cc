#include "log_queue.h"

#include <utility>

std::string DroppedLinesNotice(std::uint64_t count)
{
    return std::to_string(count) + (count == 1 ? " log line dropped" : " log lines dropped");
}

bool LogQueue::Push(std::string line)
{
    AcquireSRWLockExclusive(&lock_);
    if (closed_) {
        ReleaseSRWLockExclusive(&lock_);
        return false;  // after the last drain: nobody would see a count
    }
    // After drops the notice goes first, so it needs a slot of its own.
    const std::size_t needed = dropped_ != 0 ? 2 : 1;
    if (lines_.size() + needed > capacity_) {
        ++dropped_;
        ReleaseSRWLockExclusive(&lock_);
        return false;
    }
    if (dropped_ != 0) {
        lines_.push_back(DroppedLinesNotice(dropped_));
        dropped_ = 0;
    }
    lines_.push_back(std::move(line));
    ReleaseSRWLockExclusive(&lock_);
    WakeConditionVariable(&ready_);
    return true;
}

std::vector<std::string> LogQueue::Take(DWORD timeoutMs)
{
    std::vector<std::string> out;
    AcquireSRWLockExclusive(&lock_);
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!HasWorkLocked() && !closed_) {
        const ULONGLONG now = GetTickCount64();
        if (timeoutMs != INFINITE && now >= deadline) {
            break;
        }
        const DWORD wait = timeoutMs == INFINITE ? INFINITE : static_cast<DWORD>(deadline - now);
        SleepConditionVariableSRW(&ready_, &lock_, wait, 0);
    }
    // Everything queued was written, and lines were dropped since: say so
    // now rather than with the next line, which may never come.
    if (lines_.empty() && dropped_ != 0) {
        lines_.push_back(DroppedLinesNotice(dropped_));
        dropped_ = 0;
    }
    out.reserve(lines_.size());
    for (std::string& line : lines_) {
        out.push_back(std::move(line));
    }
    lines_.clear();
    ReleaseSRWLockExclusive(&lock_);
    return out;
}

void LogQueue::Close()
{
    AcquireSRWLockExclusive(&lock_);
    closed_ = true;
    ReleaseSRWLockExclusive(&lock_);
    WakeAllConditionVariable(&ready_);
}

bool LogQueue::Drained() const
{
    AcquireSRWLockShared(&lock_);
    const bool drained = !HasWorkLocked();
    ReleaseSRWLockShared(&lock_);
    return drained;
}

// Log lines on their way to the one thread that writes them. Serving threads
// only append and never wait for output: when the writer falls behind (a
// console whose window holds a selection, a pipe whose reader stalls), new
// lines are dropped and counted, and the count becomes a line of its own
// ("N log lines dropped") where the gap is, once there is room again.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

std::string DroppedLinesNotice(std::uint64_t count);

class LogQueue {
public:
    explicit LogQueue(std::size_t capacity) : capacity_(capacity < 2 ? 2 : capacity) {}
    LogQueue(const LogQueue&) = delete;
    LogQueue& operator=(const LogQueue&) = delete;

    // False when the line was dropped: counted when the queue is full, not
    // once it is closed.
    bool Push(std::string line);
    // Waits up to `timeoutMs` for something to write, then takes all of it in
    // order; empty on timeout, or once closed with nothing left.
    std::vector<std::string> Take(DWORD timeoutMs);
    // Take returns what is left without waiting; Push drops from now on.
    void Close();
    // Nothing queued and no drop left to report.
    bool Drained() const;

private:
    bool HasWorkLocked() const { return !lines_.empty() || dropped_ != 0; }

    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE ready_ = CONDITION_VARIABLE_INIT;
    std::deque<std::string> lines_;
    const std::size_t capacity_;
    std::uint64_t dropped_ = 0;
    bool closed_ = false;
};

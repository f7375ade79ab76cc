// The one thread that writes the service's log lines, to standard output or
// to the file of "serve --log-file". Whatever the output does, the threads
// that log never wait for it (log_queue.h).
#pragma once

#include <windows.h>

#include <string>

// Lines queued before the writer falls behind far enough to drop: about
// 0.5 MB of exchange lines.
constexpr size_t kLogQueueLines = 8192;
// At exit: how long queued lines may take to be written before the process
// ends anyway, its writer perhaps still blocked in a write.
constexpr DWORD kLogDrainMs = 2000;

// Starts writing to `output`; a handle the writer owns when `ownsOutput`.
bool StartLogWriter(HANDLE output, bool ownsOutput);
// False (and the line not written) when no writer was started.
bool QueueLogLine(const std::string& line);
// Closes the queue and waits up to `drainMs` for it to be written; false
// if the output did not take it in time.
bool StopLogWriter(DWORD drainMs);

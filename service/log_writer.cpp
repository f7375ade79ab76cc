#include "log_writer.h"

#include "log_queue.h"
#include "unique_resource.h"

#include <cstdio>

namespace {

struct LogWriter {
    LogQueue queue{kLogQueueLines};
    HANDLE output = nullptr;
    bool ownsOutput = false;
};

// Never freed: a writer still blocked in a write at exit keeps using it.
LogWriter* g_writer = nullptr;
HANDLE g_thread = nullptr;

void WriteAll(HANDLE output, const std::string& text)
{
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const DWORD chunk = left > 0x10000 ? 0x10000 : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteFile(output, p, chunk, &written, nullptr) || written == 0) {
            return;  // output gone (reader closed): the lines are lost, serving goes on
        }
        p += written;
        left -= written;
    }
}

DWORD WINAPI WriteLines(void* arg)
{
    auto* writer = static_cast<LogWriter*>(arg);
    for (;;) {
        std::vector<std::string> lines = writer->queue.Take(INFINITE);
        if (lines.empty()) {
            break;  // closed and drained
        }
        std::string text;
        for (const std::string& line : lines) {
            text += line;
            text += "\r\n";
        }
        WriteAll(writer->output, text);
    }
    if (writer->ownsOutput) {
        CloseHandle(writer->output);
    }
    return 0;
}

}  // namespace

bool StartLogWriter(HANDLE output, bool ownsOutput)
{
    if (g_writer != nullptr || output == nullptr || output == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::fflush(stdout);  // what was printed before goes out before the log
    auto* writer = new LogWriter;
    writer->output = output;
    writer->ownsOutput = ownsOutput;
    HANDLE thread = CreateThread(nullptr, 0, WriteLines, writer, 0, nullptr);
    if (thread == nullptr) {
        delete writer;
        return false;
    }
    g_writer = writer;
    g_thread = thread;
    return true;
}

bool QueueLogLine(const std::string& line)
{
    if (g_writer == nullptr) {
        return false;
    }
    g_writer->queue.Push(line);
    return true;
}

bool StopLogWriter(DWORD drainMs)
{
    if (g_writer == nullptr) {
        return true;
    }
    g_writer->queue.Close();
    return WaitForSingleObject(g_thread, drainMs) == WAIT_OBJECT_0;
}

#include "exchange_log.h"

#include "log_writer.h"

#include <cstdio>

namespace {

SRWLOCK g_outputLock = SRWLOCK_INIT;

// Key names come from clients: anything unprintable, quotes and backslashes
// are escaped so a name cannot forge or break a log line.
std::string QuotedName(const std::wstring& name)
{
    std::string out = "\"";
    for (wchar_t c : name) {
        char buf[16];
        if (c < 0x20 || c == 0x7F || c == L'"' || c == L'\\') {
            std::snprintf(buf, sizeof(buf), "\\x%02x", static_cast<unsigned>(c));
            out += buf;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            std::snprintf(buf, sizeof(buf), "\\u%04x", static_cast<unsigned>(c));
            out += buf;
        }
    }
    return out + "\"";
}

}  // namespace

std::string FormatExchangeLine(const SYSTEMTIME& utc, const ExchangeRecord& record)
{
    char head[64];
    std::snprintf(head, sizeof(head), "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", utc.wYear, utc.wMonth,
                  utc.wDay, utc.wHour, utc.wMinute, utc.wSecond, utc.wMilliseconds);
    std::string line = head;
    line += " code=";
    line += record.hasCode ? std::to_string(record.code) : std::string("-");
    line += " key=";
    line += record.hasKeyName ? QuotedName(record.keyName) : std::string("-");
    line += " outcome=";
    line += record.outcome;
    line += " ms=";
    line += std::to_string(record.milliseconds);
    return line;
}

void WriteLogLine(const std::string& line)
{
    if (QueueLogLine(line)) {
        return;
    }
    // No writer (a serving core driven in a test's own process): in place.
    AcquireSRWLockExclusive(&g_outputLock);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    ReleaseSRWLockExclusive(&g_outputLock);
}

void LogExchange(const ExchangeRecord& record)
{
    SYSTEMTIME now;
    GetSystemTime(&now);
    WriteLogLine(FormatExchangeLine(now, record));
}

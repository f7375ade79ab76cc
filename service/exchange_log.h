// One line per exchange on standard output or the log file:
//   2026-12-08T02:10:00.123Z code=2 key="name" outcome=ok ms=4
// Never a secret or a payload. Lines from parallel exchanges never interleave.
#pragma once

#include <windows.h>

#include <string>

struct ExchangeRecord {
    bool hasCode = false;
    DWORD code = 0;
    bool hasKeyName = false;
    std::wstring keyName;
    const char* outcome = "";
    ULONGLONG milliseconds = 0;
};

std::string FormatExchangeLine(const SYSTEMTIME& utc, const ExchangeRecord& record);

// One line (a newline is added): queued for the log writer when it runs
// (log_writer.h), which never makes the caller wait; written at once otherwise.
void WriteLogLine(const std::string& line);

void LogExchange(const ExchangeRecord& record);

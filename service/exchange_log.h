// One line per exchange on standard output:
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

// Writes one line (a newline is added) to standard output at once.
void WriteLogLine(const std::string& line);

void LogExchange(const ExchangeRecord& record);

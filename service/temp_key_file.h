// Temporary files that a new key file is written to before it is renamed
// into place.
#pragma once

#include <windows.h>

#include <string>

// "<key file>.<32 random hex digits>.tmp": a name no other writer, and no
// file left by a crashed one, can hold. False (with the BCrypt status) when
// the system has no random bytes to give.
bool RandomTempPath(const std::wstring& keyFile, std::wstring* temp, LONG* status);

// A temporary file lives for one write and one rename; one older than this
// was left by a process that ended in between.
constexpr ULONGLONG kStaleTempAgeSeconds = 10 * 60;

// Removes the stale temporary files of the keys folder ("*.key.*.tmp",
// including those of the older "<pid>-<tid>" naming). Fresh ones may belong
// to a create running now and are left alone.
void RemoveStaleTempFiles(const std::wstring& keysFolder);

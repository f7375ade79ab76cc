// Whole-file reads and writes for the tool's inputs and outputs.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zkt {

// Reports the failure itself; returns false on any error.
bool ReadWholeFile(const std::wstring& path, std::vector<uint8_t>& data);
// Replaces the file whole or not at all: written to a temporary file made
// exclusively beside it, flushed, then renamed over the target; the
// temporary file is removed on every failure.
bool WriteWholeFile(const std::wstring& path, const void* data, size_t size);

}  // namespace zkt

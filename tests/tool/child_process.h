// Runs a program of the build as a separate process and captures its output.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace zt {

struct ProgramRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::string out;
    std::string err;
    bool finished = false;  // false: did not start or timed out (then killed)
};

// Environment of this process with one variable replaced (when name is set).
std::vector<wchar_t> EnvironmentWith(const wchar_t* name, const std::wstring& value);

// Quotes one argument for CreateProcess's command line.
std::wstring QuoteArgument(const std::wstring& arg);

ProgramRun RunProgram(const std::wstring& exe, const std::vector<std::wstring>& args,
                      const std::vector<wchar_t>* environment = nullptr, DWORD timeoutMs = 60000);

// A fresh empty folder under the temp folder, removed with its files at the end.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring File(const wchar_t* name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool ReadFileBytes(const std::wstring& path, std::string& bytes);

}  // namespace zt

// The one temporary folder of the tests, and whole files by wide path.
//
// These call kernel32 (and the C runtime): use them outside an Interposer's
// scope on the test executable, or count their calls.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace zt {

// A fresh empty folder under the temp folder, named for this process and a
// counter, removed with everything in it at the end.
class TempFolder {
public:
    explicit TempFolder(const wchar_t* prefix = L"zk_tool_");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    bool ok() const { return ok_; }
    const std::wstring& path() const { return path_; }
    std::wstring File(const wchar_t* name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
    bool ok_ = false;
};

// Removes a folder and everything under it.
void RemoveTree(const std::wstring& path);
void RemoveTree(const std::string& path);

// Whole files by wide path, through the C runtime (so an import patch on
// the test executable's kernel32 does not see them). Reading gives nothing
// (and *exists false) when the file is absent; writing replaces it.
std::vector<BYTE> ReadFileBytes(const std::wstring& path, bool* exists = nullptr);
bool WriteFileBytes(const std::wstring& path, const std::vector<BYTE>& bytes);
bool ReadFileBytes(const std::wstring& path, std::string& bytes);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);

// UTF-16 <-> the ANSI code page, for helpers that take narrow paths.
std::wstring FromAnsi(const std::string& s);
std::string ToAnsi(const std::wstring& s);

}  // namespace zt

// A UTF-16 string placed so that its last unit ends a readable page and the
// next page is inaccessible: reading one unit too far faults.
#pragma once

#include <windows.h>

#include <string>

namespace zt {

class GuardedString {
public:
    // `units` are copied as given; no terminator is added.
    explicit GuardedString(const std::wstring& units);
    ~GuardedString();
    GuardedString(const GuardedString&) = delete;
    GuardedString& operator=(const GuardedString&) = delete;
    const wchar_t* get() const { return text_; }

private:
    BYTE* base_ = nullptr;
    const wchar_t* text_ = nullptr;
};

}  // namespace zt

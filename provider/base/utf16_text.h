// Text between the portable layer (char16_t, UTF-16 on every platform) and
// Windows (wchar_t, 2 bytes of UTF-16 there): unit by unit, no reinterpretation.
#pragma once

#include <string>
#include <string_view>
#include <vector>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows holds text as UTF-16");

inline std::u16string ToUtf16(std::wstring_view text)
{
    return std::u16string(text.begin(), text.end());
}

inline std::wstring ToWide(std::u16string_view text)
{
    return std::wstring(text.begin(), text.end());
}

inline std::vector<std::wstring> ToWide(const std::vector<std::u16string>& texts)
{
    std::vector<std::wstring> out;
    for (const std::u16string& text : texts) {
        out.push_back(ToWide(text));
    }
    return out;
}

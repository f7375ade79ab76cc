#include "report.h"

#include "status_names.h"
#include "utf16_text.h"

#include <cstdio>

namespace zkt {

std::string ToUtf8(std::u16string_view text)
{
    return ToUtf8(ToWide(text));
}

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty()) {
        return {};
    }
    const int wideLength = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), wideLength, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return {};
    }
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), wideLength, out.data(), size, nullptr, nullptr);
    return out;
}

void ReportStatusFailure(const std::string& operation, LONG status)
{
    char formatted[96];
    FormatStatus(status, formatted, sizeof formatted);
    fflush(stdout);
    fprintf(stderr, "ZentravaKSPTool: %s failed: %s\n", operation.c_str(), formatted);
}

void ReportWin32Failure(const std::string& operation, DWORD error)
{
    const char* name = Win32ErrorName(error);
    fflush(stdout);
    fprintf(stderr, "ZentravaKSPTool: %s failed: Win32 error %lu %s\n", operation.c_str(),
            static_cast<unsigned long>(error), name != nullptr ? name : "(unknown error)");
}

void ReportProblem(const std::string& message)
{
    fflush(stdout);
    fprintf(stderr, "ZentravaKSPTool: %s\n", message.c_str());
}

}  // namespace zkt

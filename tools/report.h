// Console output of the tool: results on standard output, failures on
// standard error, each failure naming the operation and its status.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace zkt {

std::string ToUtf8(const std::wstring& text);
std::string ToUtf8(std::u16string_view text);

// "ZentravaKSPTool: <operation> failed: 0x80090016 NTE_BAD_KEYSET"
void ReportStatusFailure(const std::string& operation, LONG status);
// "ZentravaKSPTool: <operation> failed: Win32 error 2 ERROR_FILE_NOT_FOUND"
void ReportWin32Failure(const std::string& operation, DWORD error);
// "ZentravaKSPTool: <message>"
void ReportProblem(const std::string& message);

}  // namespace zkt

#include "unix_shell.h"

#include <atomic>
#include <cstdio>

namespace zt {
namespace {

constexpr char kExitMarker[] = "\nzk-shell-exit=";

std::string TempFileName()
{
    static std::atomic<unsigned> counter{0};
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    char name[MAX_PATH + 64];
    snprintf(name, sizeof name, "%szk_shell_%lu_%u.txt", temp, GetCurrentProcessId(), counter++);
    return name;
}

// Windows command-line quoting, which Wine undoes when it builds the Linux argv.
std::string QuoteForCommandLine(const std::string& arg)
{
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, '\\');
    out.push_back('"');
    return out;
}

}  // namespace

std::string UnixPath(const std::wstring& windowsPath)
{
    using UnixFileName = char*(CDECL*)(LPCWSTR);
    const auto convert = reinterpret_cast<UnixFileName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (convert == nullptr) {
        return {};
    }
    char* path = convert(windowsPath.c_str());
    if (path == nullptr) {
        return {};
    }
    std::string out = path;
    HeapFree(GetProcessHeap(), 0, path);
    return out;
}

std::string ShellQuote(const std::string& text)
{
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

ShellRun RunShell(const std::string& script, DWORD timeoutMs)
{
    ShellRun run;
    const std::string capture = TempFileName();
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE out = CreateFileA(capture.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE || in == INVALID_HANDLE_VALUE) {
        return run;
    }
    // The status of the script's last command, on a line of its own.
    const std::string wrapped = "exec 2>&1\n" + script + "\nprintf '\\nzk-shell-exit=%s' \"$?\"";
    std::string commandLine = "sh -c " + QuoteForCommandLine(wrapped);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = out;
    PROCESS_INFORMATION pi{};
    const BOOL started =
        CreateProcessA("Z:\\bin\\sh", commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(in);
    CloseHandle(out);
    if (!started) {
        DeleteFileA(capture.c_str());
        return run;
    }
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    // Wine reports a Linux child as ended as soon as it runs, so the end is
    // the status line the shell writes last.
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        run.output.clear();
        HANDLE read = CreateFileA(capture.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (read != INVALID_HANDLE_VALUE) {
            char buf[4096];
            DWORD got = 0;
            while (ReadFile(read, buf, sizeof buf, &got, nullptr) && got > 0) {
                run.output.append(buf, got);
            }
            CloseHandle(read);
        }
        const size_t marker = run.output.rfind(kExitMarker);
        if (marker != std::string::npos && run.output.find_first_not_of("0123456789", marker + strlen(kExitMarker)) ==
                                               std::string::npos && run.output.size() > marker + strlen(kExitMarker)) {
            break;
        }
        if (GetTickCount64() > deadline) {
            DeleteFileA(capture.c_str());
            return run;
        }
        Sleep(20);
    }
    DeleteFileA(capture.c_str());
    const size_t marker = run.output.rfind(kExitMarker);
    if (marker != std::string::npos) {
        run.exitCode = atoi(run.output.c_str() + marker + strlen(kExitMarker));
        run.output.resize(marker);
    }
    return run;
}

bool OpenSslAvailable()
{
    return RunShell("openssl version").exitCode == 0;
}

}  // namespace zt

#include "child_process.h"

#include <atomic>
#include <cwchar>

namespace zt {
namespace {

class Handle {
public:
    explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    ~Handle()
    {
        if (h_ != INVALID_HANDLE_VALUE && h_ != nullptr) {
            CloseHandle(h_);
        }
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return h_; }

private:
    HANDLE h_;
};

HANDLE InheritableFile(const std::wstring& path, DWORD access, DWORD disposition)
{
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::atomic<unsigned> g_scratchCounter{0};

}  // namespace

std::vector<wchar_t> EnvironmentWith(const wchar_t* name, const std::wstring& value)
{
    std::vector<wchar_t> block;
    const std::wstring prefix = std::wstring(name) + L"=";
    wchar_t* env = GetEnvironmentStringsW();
    for (const wchar_t* p = env; *p != L'\0'; p += wcslen(p) + 1) {
        if (_wcsnicmp(p, prefix.c_str(), prefix.size()) != 0) {
            block.insert(block.end(), p, p + wcslen(p) + 1);
        }
    }
    FreeEnvironmentStringsW(env);
    const std::wstring entry = prefix + value;
    block.insert(block.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
    block.push_back(L'\0');
    return block;
}

std::wstring QuoteArgument(const std::wstring& arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
        return arg;
    }
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            out.append(backslashes * 2 + 1, L'\\');
        } else {
            out.append(backslashes, L'\\');
        }
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, L'\\');
    out.push_back(L'"');
    return out;
}

ProgramRun RunProgram(const std::wstring& exe, const std::vector<std::wstring>& args,
                      const std::vector<wchar_t>* environment, DWORD timeoutMs)
{
    ProgramRun run;
    ScratchFolder capture;
    const std::wstring outPath = capture.File(L"stdout.txt");
    const std::wstring errPath = capture.File(L"stderr.txt");
    {
        Handle out(InheritableFile(outPath, GENERIC_WRITE, CREATE_ALWAYS));
        Handle err(InheritableFile(errPath, GENERIC_WRITE, CREATE_ALWAYS));
        Handle in(InheritableFile(L"NUL", GENERIC_READ, OPEN_EXISTING));
        std::wstring commandLine = QuoteArgument(exe);
        for (const std::wstring& a : args) {
            commandLine += L" " + QuoteArgument(a);
        }
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = in.get();
        si.hStdOutput = out.get();
        si.hStdError = err.get();
        PROCESS_INFORMATION pi{};
        void* env = environment != nullptr ? const_cast<wchar_t*>(environment->data()) : nullptr;
        if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                            env, nullptr, &si, &pi)) {
            run.err = "CreateProcess failed: " + std::to_string(GetLastError());
            return run;
        }
        Handle process(pi.hProcess);
        Handle thread(pi.hThread);
        if (WaitForSingleObject(pi.hProcess, timeoutMs) != WAIT_OBJECT_0) {
            TerminateProcess(pi.hProcess, 1);
            WaitForSingleObject(pi.hProcess, 5000);
        } else {
            run.finished = true;
        }
        GetExitCodeProcess(pi.hProcess, &run.exitCode);
    }
    ReadFileBytes(outPath, run.out);
    ReadFileBytes(errPath, run.err);
    return run;
}

ScratchFolder::ScratchFolder()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring base = temp;
    if (!base.empty() && base.back() == L'\\') {
        base.pop_back();
    }
    path_ = base + L"\\zk_tool_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
            std::to_wstring(g_scratchCounter++);
    CreateDirectoryW(path_.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder()
{
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((path_ + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                DeleteFileW(File(found.cFileName).c_str());
            }
        } while (FindNextFileW(find, &found));
        FindClose(find);
    }
    RemoveDirectoryW(path_.c_str());
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    Handle f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD put = 0;
    return f.get() != INVALID_HANDLE_VALUE &&
           WriteFile(f.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) &&
           put == bytes.size();
}

bool ReadFileBytes(const std::wstring& path, std::string& bytes)
{
    bytes.clear();
    Handle f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (f.get() == INVALID_HANDLE_VALUE) {
        return false;
    }
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(f.get(), buf, sizeof buf, &got, nullptr) && got > 0) {
        bytes.append(buf, got);
    }
    return true;
}

}  // namespace zt

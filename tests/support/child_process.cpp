#include "child_process.h"

#include "temp_folder.h"
#include "unique_resource.h"

#include <cwchar>

namespace zt {

// One captured stream: the pipe's read end, the thread that reads it, and
// what has arrived so far.
struct ChildProcess::Stream {
    UniqueHandle read;
    UniqueHandle thread;
    HANDLE process = nullptr;  // the child, to know when nothing more can come
    mutable SRWLOCK lock = SRWLOCK_INIT;
    std::string text;

    void Append(const char* data, DWORD n)
    {
        AcquireSRWLockExclusive(&lock);
        text.append(data, n);
        ReleaseSRWLockExclusive(&lock);
    }
    std::string Copy() const
    {
        AcquireSRWLockShared(&lock);
        std::string copy = text;
        ReleaseSRWLockShared(&lock);
        return copy;
    }
};

namespace {

// Reads whatever the pipe holds until every write end is gone, or the child
// has ended and the pipe is empty (a grandchild may still hold a write end).
DWORD WINAPI ReadStream(void* arg)
{
    auto* stream = static_cast<ChildProcess::Stream*>(arg);
    char buffer[4096];
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(stream->read.get(), nullptr, 0, nullptr, &available, nullptr)) {
            break;
        }
        if (available == 0) {
            if (WaitForSingleObject(stream->process, 0) == WAIT_OBJECT_0) {
                // Ended: its writes are all in the pipe; one more look.
                if (!PeekNamedPipe(stream->read.get(), nullptr, 0, nullptr, &available, nullptr) ||
                    available == 0) {
                    break;
                }
            } else {
                Sleep(5);
                continue;
            }
        }
        DWORD got = 0;
        const DWORD want = available < sizeof buffer ? available : static_cast<DWORD>(sizeof buffer);
        if (!ReadFile(stream->read.get(), buffer, want, &got, nullptr) || got == 0) {
            break;
        }
        stream->Append(buffer, got);
    }
    return 0;
}

// A pipe whose write end the child inherits and whose read end stays ours.
bool MakePipe(UniqueHandle* read, UniqueHandle* write)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE r = nullptr;
    HANDLE w = nullptr;
    if (!CreatePipe(&r, &w, &inherit, 0)) {
        return false;
    }
    read->Reset(r);
    write->Reset(w);
    return SetHandleInformation(r, HANDLE_FLAG_INHERIT, 0) != FALSE;
}

bool StartReader(ChildProcess::Stream* stream)
{
    stream->thread.Reset(CreateThread(nullptr, 0, ReadStream, stream, 0, nullptr));
    return static_cast<bool>(stream->thread);
}

}  // namespace

std::wstring BesideExe(const wchar_t* name)
{
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    dir.resize(dir.find_last_of(L"\\/") + 1);
    return dir + name;
}

ChildProcess::ChildProcess() = default;

ChildProcess::~ChildProcess()
{
    if (Running()) {
        TerminateProcess(process_.get(), 0xFFFFFFFF);
        WaitForSingleObject(process_.get(), 5000);
    }
    // The readers use the streams; they end once the child has.
    WaitForReaders(INFINITE);
}

bool ChildProcess::Start(const std::wstring& commandLine, const ChildOptions& options)
{
    if (process_) {
        return false;
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    std::unique_ptr<Stream> out;
    std::unique_ptr<Stream> err;
    UniqueHandle outWrite;
    UniqueHandle errWrite;
    const bool toFile = !options.outputFile.empty();
    if (toFile) {
        outWrite.Reset(CreateFileW(options.outputFile.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inherit, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!outWrite) {
            startError_ = GetLastError();
            return false;
        }
    } else {
        out = std::make_unique<Stream>();
        if (!MakePipe(&out->read, &outWrite)) {
            startError_ = GetLastError();
            return false;
        }
    }
    if (!toFile && options.errors == ChildErrors::Separate) {
        err = std::make_unique<Stream>();
        if (!MakePipe(&err->read, &errWrite)) {
            startError_ = GetLastError();
            return false;
        }
    }
    UniqueFile nul;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    switch (options.input) {
    case ChildInput::Inherit: si.hStdInput = GetStdHandle(STD_INPUT_HANDLE); break;
    case ChildInput::Nul:
        nul.Reset(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
        si.hStdInput = nul.get();
        break;
    case ChildInput::None: si.hStdInput = nullptr; break;
    }
    si.hStdOutput = outWrite.get();
    switch (toFile ? ChildErrors::Merged : options.errors) {
    case ChildErrors::Separate: si.hStdError = errWrite.get(); break;
    case ChildErrors::Merged: si.hStdError = outWrite.get(); break;
    case ChildErrors::Inherit: si.hStdError = GetStdHandle(STD_ERROR_HANDLE); break;
    }
    std::wstring line = commandLine;
    void* environment = options.environment != nullptr ? const_cast<wchar_t*>(options.environment->data()) : nullptr;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(options.application.empty() ? nullptr : options.application.c_str(), line.data(), nullptr,
                        nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT, environment, nullptr, &si, &pi)) {
        startError_ = GetLastError();
        return false;
    }
    CloseHandle(pi.hThread);
    process_.Reset(pi.hProcess);
    // Our copies of the write ends go now: a read then ends with the child.
    outWrite.Reset();
    errWrite.Reset();
    outputFile_ = options.outputFile;
    if (out) {
        out->process = process_.get();
        out_ = std::move(out);
        if (!options.unreadOutput) {
            StartReader(out_.get());
        }
    }
    if (err) {
        err->process = process_.get();
        err_ = std::move(err);
        StartReader(err_.get());
    }
    return true;
}

bool ChildProcess::WaitForReaders(DWORD timeoutMs)
{
    for (Stream* stream : {out_.get(), err_.get()}) {
        if (stream != nullptr && stream->thread && WaitForSingleObject(stream->thread.get(), timeoutMs) != WAIT_OBJECT_0) {
            return false;
        }
    }
    return true;
}

bool ChildProcess::Wait(DWORD timeoutMs)
{
    if (!process_ || WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) {
        return false;
    }
    return WaitForReaders(5000);
}

bool ChildProcess::Terminate(UINT exitCode, DWORD timeoutMs)
{
    if (!process_) {
        return false;
    }
    TerminateProcess(process_.get(), exitCode);
    return Wait(timeoutMs);
}

DWORD ChildProcess::ProcessId() const
{
    return process_ ? GetProcessId(process_.get()) : 0;
}

bool ChildProcess::Running() const
{
    return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

DWORD ChildProcess::ExitCode() const
{
    DWORD code = 0xFFFFFFFF;
    if (process_) {
        GetExitCodeProcess(process_.get(), &code);
    }
    return code;
}

std::string ChildProcess::Output() const
{
    if (!outputFile_.empty()) {
        const std::vector<BYTE> bytes = ReadFileBytes(outputFile_);
        return std::string(bytes.begin(), bytes.end());
    }
    if (out_ && !out_->thread) {
        // Never read: what the pipe holds, left in it.
        std::string held(1 << 16, '\0');
        DWORD got = 0;
        if (!PeekNamedPipe(out_->read.get(), held.data(), static_cast<DWORD>(held.size()), &got, nullptr, nullptr)) {
            got = 0;
        }
        held.resize(got);
        return held;
    }
    return out_ ? out_->Copy() : std::string();
}

std::string ChildProcess::Errors() const
{
    return err_ ? err_->Copy() : std::string();
}

bool ChildProcess::WaitForOutput(const std::string& text, DWORD timeoutMs) const
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
        if (Output().find(text) != std::string::npos) {
            return true;
        }
        Sleep(10);
    } while (GetTickCount64() < deadline);
    return false;
}

ChildRun RunChild(const std::wstring& commandLine, const ChildOptions& options, DWORD timeoutMs, UINT killCode)
{
    ChildRun run;
    ChildProcess child;
    if (!child.Start(commandLine, options)) {
        run.startError = child.StartError();
        return run;
    }
    run.started = true;
    run.finished = child.Wait(timeoutMs);
    if (!run.finished) {
        child.Terminate(killCode, 5000);
    }
    run.exitCode = child.ExitCode();
    run.out = child.Output();
    run.err = child.Errors();
    return run;
}

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
    std::wstring commandLine = QuoteArgument(exe);
    for (const std::wstring& a : args) {
        commandLine += L" " + QuoteArgument(a);
    }
    ChildOptions options;
    options.environment = environment;
    options.application = exe;
    const ChildRun child = RunChild(commandLine, options, timeoutMs, 1);
    ProgramRun run;
    if (!child.started) {
        run.err = "CreateProcess failed: " + std::to_string(child.startError);
        return run;
    }
    run.exitCode = child.exitCode;
    run.finished = child.finished;
    run.out = child.out;
    run.err = child.err;
    return run;
}

}  // namespace zt

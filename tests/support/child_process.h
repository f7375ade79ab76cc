// The one way tests run a Windows program of the build as a separate process:
// ChildProcess starts it with its standard output (and error) on pipes that
// threads of ours read while it runs, so it never blocks on a full pipe, and
// RunChild runs one to its end. The service (in the tests and the
// benchmark), the client tool, the configuration tool and the probes are all
// started through here.
// (Linux programs go through unix_shell.h: Wine reports them ended at once.)
#pragma once

#include "unique_resource.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace zt {

// The child's standard input: this process's, the NUL device, or none.
enum class ChildInput { Inherit, Nul, None };
// Its standard error: read on its own, into the same pipe as the output (in
// the order written), or this process's.
enum class ChildErrors { Separate, Merged, Inherit };

struct ChildOptions {
    ChildInput input = ChildInput::Nul;
    ChildErrors errors = ChildErrors::Separate;
    // A CREATE_UNICODE_ENVIRONMENT block (see EnvironmentWith); null: ours.
    const std::vector<wchar_t>* environment = nullptr;
    // CreateProcessW's application name; empty: the command line's first word.
    std::wstring application;
    // Non-empty: output and errors are appended to this file instead of read
    // on pipes (`errors` then does not apply), so that a long run has no
    // reader of ours competing with the work it measures.
    std::wstring outputFile;
    // The output pipe is made but never read, as by a reader that stalls:
    // the child's writes block once the pipe is full. Output() then shows
    // what the pipe holds from its start (PeekNamedPipe).
    bool unreadOutput = false;
};

class ChildProcess {
public:
    ChildProcess();
    // A child still running is ended (TerminateProcess) and waited for.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // False, with StartError() set, if CreateProcessW (or a pipe) failed.
    bool Start(const std::wstring& commandLine, const ChildOptions& options = {});
    DWORD StartError() const { return startError_; }
    bool Started() const { return static_cast<bool>(process_); }

    // True once the child has ended within `timeoutMs` and all it printed
    // has been read.
    bool Wait(DWORD timeoutMs);
    // Ends the child at once, as a crash would; true once it has ended.
    bool Terminate(UINT exitCode, DWORD timeoutMs);
    bool Running() const;
    DWORD ExitCode() const;  // 0xFFFFFFFF while running or never started
    DWORD ProcessId() const;  // 0 if never started

    // What it printed so far (with ChildErrors::Merged or an output file,
    // errors included).
    std::string Output() const;
    std::string Errors() const;
    // Waits until the output contains `text`; false if it ends without.
    bool WaitForOutput(const std::string& text, DWORD timeoutMs) const;

    struct Stream;

private:
    bool WaitForReaders(DWORD timeoutMs);

    UniqueHandle process_;
    std::wstring outputFile_;
    std::unique_ptr<Stream> out_;
    std::unique_ptr<Stream> err_;
    DWORD startError_ = 0;
};

struct ChildRun {
    bool started = false;
    bool finished = false;  // ended by itself within the time
    DWORD exitCode = 0xFFFFFFFF;
    DWORD startError = 0;  // CreateProcessW's last error when not started
    std::string out;
    std::string err;
};

// Runs a command line to its end; a child still running after `timeoutMs` is
// ended with `killCode` (and is not `finished`).
ChildRun RunChild(const std::wstring& commandLine, const ChildOptions& options, DWORD timeoutMs,
                  UINT killCode = 0xFFFFFFFF);

// Full path of a file beside the running executable (the build puts every
// program and the DLL in one folder).
std::wstring BesideExe(const wchar_t* name);

// Environment of this process with one variable replaced.
std::vector<wchar_t> EnvironmentWith(const wchar_t* name, const std::wstring& value);

// Quotes one argument for CreateProcess's command line.
std::wstring QuoteArgument(const std::wstring& arg);

// A program with quoted arguments, no console input, output and errors apart.
struct ProgramRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::string out;
    std::string err;
    bool finished = false;  // false: did not start or timed out (then killed)
};
ProgramRun RunProgram(const std::wstring& exe, const std::vector<std::wstring>& args,
                      const std::vector<wchar_t>* environment = nullptr, DWORD timeoutMs = 60000);

}  // namespace zt

// Running Linux programs (OpenSSL) from a test under Wine: Wine starts a
// Linux executable named by its Z: path with CreateProcessW, but its process
// handle is signalled at once and carries no exit status. So commands run
// in /bin/sh, which writes their status last, and the test reads until then.
//
//   zt::ShellRun r = zt::RunShell("openssl req -verify -noout -in " + zt::ShellQuote(zt::UnixPath(file)));
//   EXPECT_EQ(0, r.exitCode) << r.output;
#pragma once

#include <windows.h>

#include <string>

namespace zt {

struct ShellRun {
    int exitCode = -1;   // -1: did not start or did not end in time
    std::string output;  // standard output and standard error
};

// The Linux path Wine maps a Windows path to; empty if there is none.
std::string UnixPath(const std::wstring& windowsPath);

// 'text' with every ' escaped, for one shell word.
std::string ShellQuote(const std::string& text);

ShellRun RunShell(const std::string& script, DWORD timeoutMs = 120000);

// True when `openssl version` runs (setup installs Debian's openssl).
bool OpenSslAvailable();

}  // namespace zt

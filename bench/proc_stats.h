// What Linux knows about the processes of a run, read under Wine through
// Z:\proc, and the CPU time Windows reports for a process. Under Wine every
// Windows process is one Linux process, and the wineserver that carries
// every pipe transfer, wait and handle call is a Linux process that Windows
// calls cannot see.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace bench {

// The machine's 1-minute load average, as Linux reports it ("?" if unknown).
std::string LoadAverage();

// Busy and total jiffies of all the machine's CPUs (/proc/stat).
bool MachineJiffies(double* busy, double* total);

// Linux's name (comm) for this benchmark. Z:\proc\self is no way to find
// it: under Wine the wineserver opens every file, so "self" is the wineserver.
constexpr const char* kBenchComm = "ZentravaKSPBenc";

// A Linux process of this Wine prefix (its WINEPREFIX), by process id.
struct PrefixProcess {
    std::string pid;
    std::string comm;  // Linux's name for it: the executable's, cut at 15 characters
};

// Every Linux process of this prefix right now.
std::vector<PrefixProcess> PrefixProcesses();

// The Linux process id of the process of this prefix whose name starts with
// `comm`, or an empty string.
std::string FindPrefixProcess(const char* comm);

// User + system seconds of a Linux process, or -1.
double LinuxProcessSeconds(const std::string& pid);

// Seconds that the threads of a Linux process have spent runnable but
// waiting for a CPU (the second field of each thread's schedstat), or -1.
double QueueWaitSeconds(const std::string& pid);

// User + kernel seconds of a Windows process (GetProcessTimes), or -1.
// Wine 8.0 answers with the calling process's own times for any other
// process's handle, so only this process's are worth reading here.
double WindowsProcessSeconds(HANDLE process);

// Processors of the machine.
unsigned MachineCores();

}  // namespace bench

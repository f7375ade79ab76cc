#include "proc_stats.h"

#include "temp_folder.h"

#include <cstdio>

namespace bench {

namespace {

// /proc paths are plain ASCII.
std::string ReadProcFile(const std::string& path)
{
    const std::vector<BYTE> bytes = zt::ReadFileBytes(std::wstring(path.begin(), path.end()));
    return std::string(bytes.begin(), bytes.end());
}

bool IsNumber(const std::string& name)
{
    return !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
}

// Calls `visit(name)` for every numeric entry of a /proc folder.
template <typename Visit>
void ForEachNumbered(const std::string& folder, Visit&& visit)
{
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((folder + "*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        if (IsNumber(entry.cFileName) && !visit(std::string(entry.cFileName))) {
            break;
        }
    } while (FindNextFileA(find, &entry));
    FindClose(find);
}

bool HasVariable(const std::string& variables, const std::string& wanted)
{
    for (size_t at = 0; at < variables.size();) {
        const size_t end = variables.find('\0', at);
        const size_t len = (end == std::string::npos ? variables.size() : end) - at;
        if (variables.compare(at, len, wanted) == 0) {
            return true;
        }
        if (end == std::string::npos) {
            break;
        }
        at = end + 1;
    }
    return false;
}

std::string PrefixVariable()
{
    char prefix[1024];
    const DWORD n = GetEnvironmentVariableA("WINEPREFIX", prefix, sizeof(prefix));
    if (n == 0 || n >= sizeof(prefix)) {
        return "";
    }
    return std::string("WINEPREFIX=") + prefix;
}

}  // namespace

std::string LoadAverage()
{
    const std::string text = ReadProcFile("Z:\\proc\\loadavg");
    return text.empty() ? "?" : text.substr(0, text.find(' '));
}

bool MachineJiffies(double* busy, double* total)
{
    const std::string text = ReadProcFile("Z:\\proc\\stat");
    // "cpu  user nice system idle iowait irq softirq steal ..."
    double v[8] = {};
    if (std::sscanf(text.c_str(), "cpu %lf %lf %lf %lf %lf %lf %lf %lf", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                    &v[6], &v[7]) < 4) {
        return false;
    }
    *total = v[0] + v[1] + v[2] + v[3] + v[4] + v[5] + v[6] + v[7];
    *busy = *total - v[3] - v[4];
    return true;
}

std::vector<PrefixProcess> PrefixProcesses()
{
    std::vector<PrefixProcess> found;
    const std::string wanted = PrefixVariable();
    if (wanted.empty()) {
        return found;
    }
    ForEachNumbered("Z:\\proc\\", [&](const std::string& pid) {
        const std::string dir = "Z:\\proc\\" + pid;
        if (HasVariable(ReadProcFile(dir + "\\environ"), wanted)) {
            std::string comm = ReadProcFile(dir + "\\comm");
            comm = comm.substr(0, comm.find('\n'));
            found.push_back({pid, comm});
        }
        return true;
    });
    return found;
}

std::string FindPrefixProcess(const char* comm)
{
    for (const PrefixProcess& p : PrefixProcesses()) {
        if (p.comm.rfind(comm, 0) == 0) {
            return p.pid;
        }
    }
    return "";
}

double QueueWaitSeconds(const std::string& pid)
{
    if (pid.empty()) {
        return -1;
    }
    const std::string tasks = "Z:\\proc\\" + pid + "\\task\\";
    double ns = 0;
    bool any = false;
    ForEachNumbered(tasks, [&](const std::string& tid) {
        double run = 0;
        double wait = 0;
        if (std::sscanf(ReadProcFile(tasks + tid + "\\schedstat").c_str(), "%lf %lf", &run, &wait) == 2) {
            ns += wait;
            any = true;
        }
        return true;
    });
    return any ? ns / 1e9 : -1;
}

double LinuxProcessSeconds(const std::string& pid)
{
    if (pid.empty()) {
        return -1;
    }
    const std::string stat = ReadProcFile("Z:\\proc\\" + pid + "\\stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    // After the name: state (field 3) ... utime (14), stime (15), in clock ticks of 1/100 s;
    // they include the threads that have ended.
    double utime = 0;
    double stime = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lf %lf", &utime,
                    &stime) != 2) {
        return -1;
    }
    return (utime + stime) / 100.0;
}

double WindowsProcessSeconds(HANDLE process)
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        return -1;
    }
    auto seconds = [](const FILETIME& t) {
        return static_cast<double>((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

unsigned MachineCores()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1;
}

}  // namespace bench

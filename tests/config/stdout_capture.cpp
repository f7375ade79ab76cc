#include "stdout_capture.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>

namespace zt {

StdoutCapture::StdoutCapture()
{
    wchar_t dir[MAX_PATH] = {};
    wchar_t file[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"zko", 0, file);
    path_ = file;
    const int fd = _wopen(file, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        return;
    }
    fflush(stdout);
    saved_ = _dup(1);
    active_ = _dup2(fd, 1) == 0;
    _close(fd);
}

std::string StdoutCapture::Finish()
{
    if (!active_) {
        return "<capture failed>";
    }
    fflush(stdout);
    _dup2(saved_, 1);
    _close(saved_);
    active_ = false;
    std::string bytes;
    if (FILE* in = _wfopen(path_.c_str(), L"rb")) {
        char chunk[512];
        size_t n = 0;
        while ((n = fread(chunk, 1, sizeof chunk, in)) > 0) {
            bytes.append(chunk, n);
        }
        fclose(in);
    }
    return bytes;
}

StdoutCapture::~StdoutCapture()
{
    if (active_) {
        Finish();
    }
    _wremove(path_.c_str());  // not DeleteFileW: tests stand in for that one
}

}  // namespace zt

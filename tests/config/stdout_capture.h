// Redirects the C runtime's standard output (descriptor 1) to a temporary
// file in text mode, as a console program's output to a file or pipe is.
#pragma once

#include <string>

namespace zt {

class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Ends the redirection and returns the bytes written meanwhile.
    std::string Finish();

private:
    std::wstring path_;
    int saved_ = -1;
    bool active_ = false;
};

}  // namespace zt

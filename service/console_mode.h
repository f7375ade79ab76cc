// QuickEdit off for the service's own console while it serves: with it on,
// a click into the window starts a selection that suspends every write to
// the console until the user presses a key.
#pragma once

#include <windows.h>

// The input mode to set: QuickEdit cleared, insert mode kept as it was.
// QuickEdit and insert mode are only read from a mode that has
// ENABLE_EXTENDED_FLAGS, so it is always set.
DWORD ModeWithoutQuickEdit(DWORD mode);

// Switches QuickEdit off when standard input is a console, and back to what
// it was when destroyed (the console may be the user's shell's).
class QuickEditOff {
public:
    QuickEditOff();
    ~QuickEditOff();
    QuickEditOff(const QuickEditOff&) = delete;
    QuickEditOff& operator=(const QuickEditOff&) = delete;

private:
    HANDLE input_ = nullptr;
    DWORD saved_ = 0;
    bool changed_ = false;
};

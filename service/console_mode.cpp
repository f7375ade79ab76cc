#include "console_mode.h"

DWORD ModeWithoutQuickEdit(DWORD mode)
{
    return (mode | ENABLE_EXTENDED_FLAGS) & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE);
}

QuickEditOff::QuickEditOff()
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == nullptr || input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &mode)) {
        return;  // not a console: a pipe, a file, none
    }
    const DWORD wanted = ModeWithoutQuickEdit(mode);
    if (wanted != mode && SetConsoleMode(input, wanted)) {
        input_ = input;
        saved_ = mode;
        changed_ = true;
    }
}

QuickEditOff::~QuickEditOff()
{
    if (changed_) {
        SetConsoleMode(input_, saved_);
    }
}

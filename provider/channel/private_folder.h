// The folders that hold the user's secrets (%LOCALAPPDATA%\Zentrava, the
// service's keys folder) admit the user and SYSTEM only, and carry a medium
// label that refuses reads and writes from below medium integrity; both are
// inherited by everything made inside them:
//   D:P(A;OICI;FA;;;<user>)(A;OICI;FA;;;SY)S:(ML;OICI;NWNR;;;ME)
#pragma once

#include <windows.h>

// Creates the folder (the last level only) with that descriptor. A folder
// that is already there and lacks it gets it where the user may set it; if
// not, it is used as it is. ERROR_SUCCESS when the folder is there
// afterwards; otherwise the error that stopped it, and nothing was created.
DWORD EnsurePrivateFolder(const wchar_t* path);

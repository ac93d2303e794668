// What the Windows calls of the host share (os_win.cpp, os_win_text.cpp).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace gridloom::host::win {

// The errno that says what a Windows error says, so that messages read as on POSIX.
int ErrnoOf(DWORD error);
int LastErrno();

HANDLE HandleOf(int fd);

bool IsConsole(HANDLE handle);

}  // namespace gridloom::host::win

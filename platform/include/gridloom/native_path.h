// Where a file is opened, the library's ANSI path with Windows separators becomes a path the
// operating system takes. On Windows that is the path itself; on POSIX it is decoded from the
// ANSI code page, each backslash becomes a slash, and the file system gets UTF-8.
#pragma once

#include <string>
#include <string_view>

#include "gridloom/winapi.h"

namespace gridloom {

#ifdef _WIN32
inline std::string NativePath(std::string_view ansiPath) { return std::string(ansiPath); }
#else
GRIDLOOM_WINAPI_EXPORT std::string NativePath(std::string_view ansiPath);
#endif

}  // namespace gridloom

# Cross build for 64-bit Windows with MinGW-w64, for the tests only: where the kernel runs no
# 32-bit programs (and so no 32-bit Wine), wine64 runs this build of the Windows code. It is
# never packaged: page preprocessors load the 32-bit gridloom.dll.
set(GRIDLOOM_MINGW x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
# Debian installs the 64-bit loader outside PATH.
find_program(GRIDLOOM_WINE64 wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
set(CMAKE_CROSSCOMPILING_EMULATOR ${GRIDLOOM_WINE64})

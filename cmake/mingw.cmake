# What both MinGW-w64 cross builds share (win32 thread model: no libwinpthread). Their
# toolchain files set GRIDLOOM_MINGW, the target's triple, and include this.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${GRIDLOOM_MINGW}-gcc-win32)
set(CMAKE_CXX_COMPILER ${GRIDLOOM_MINGW}-g++-win32)
set(CMAKE_RC_COMPILER ${GRIDLOOM_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${GRIDLOOM_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

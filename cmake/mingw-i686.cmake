# Cross build for 32-bit Windows with MinGW-w64: gridloom.dll as page preprocessors load it.
set(GRIDLOOM_MINGW i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
# SSE2 is the baseline (every Windows release since Windows 8 requires it); better sets are
# chosen at run time.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")

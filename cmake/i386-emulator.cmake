# The 32-bit Linux build's tests on a kernel that runs no 32-bit programs (scripts/ia32 asks
# it, at each configure): CTest then runs every test program under qemu-user
# (scripts/qemu-i386), as the emulator of a cross build. GRIDLOOM_I386_EMULATED says so to
# the tests that must know.
set(GRIDLOOM_I386_EMULATED OFF)
if(WIN32 OR NOT CMAKE_SIZEOF_VOID_P EQUAL 4 OR NOT CMAKE_HOST_SYSTEM_PROCESSOR STREQUAL "x86_64"
   OR NOT GRIDLOOM_BUILD_TESTS)
  return()
endif()
execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/ia32
  OUTPUT_VARIABLE answer OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
if(status EQUAL 0)
  message(STATUS "32-bit programs: this kernel runs them")
  return()
elseif(NOT status EQUAL 1)
  message(FATAL_ERROR "scripts/ia32 cannot tell whether this kernel runs 32-bit programs: "
    "${answer}")
endif()
find_program(GRIDLOOM_QEMU_I386 qemu-i386-static)
if(NOT GRIDLOOM_QEMU_I386)
  message(FATAL_ERROR "32-bit programs: ${answer}; the tests need qemu-i386-static "
    "(package qemu-user-static, which scripts/install-deps installs on such a machine)")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR env GRIDLOOM_QEMU_I386=${GRIDLOOM_QEMU_I386}
  ${PROJECT_SOURCE_DIR}/scripts/qemu-i386)
set(GRIDLOOM_I386_EMULATED ON)
message(STATUS "32-bit programs: ${answer}; the tests run them under ${GRIDLOOM_QEMU_I386}")

# The settings that every target of ours shares, each set here once.
#
# Sources include the library's headers by their path from the repository's root
# ("csvreader/Csvreader.h"), so a header's folder says which room it belongs to; that root is
# a PRIVATE include path of each target, never published to the targets that link it. Only the
# headers meant for hosts (include/, platform/include/) are published.

# gridloom_add_library(NAME STATIC|SHARED|OBJECT SOURCES...): a library of ours, compiled for
# a shared library (position-independent, hidden symbols). Static and object libraries hand
# their C++20 requirement on (their headers need it); the shared ones, linked by C hosts too,
# keep it to themselves.
function(gridloom_add_library name type)
  add_library(${name} ${type} ${ARGN})
  if(type STREQUAL "SHARED")
    target_compile_features(${name} PRIVATE cxx_std_20)
  else()
    target_compile_features(${name} PUBLIC cxx_std_20)
  endif()
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE gridloom_warnings)
  set_target_properties(${name} PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endfunction()

# gridloom_add_executable(NAME SOURCES...): a program of ours (tests, benchmarks, probes). On
# Windows it needs no MinGW runtime DLL, so that Wine runs it as it is.
function(gridloom_add_executable name)
  add_executable(${name} ${ARGN})
  target_compile_features(${name} PRIVATE cxx_std_20)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE gridloom_warnings)
  if(WIN32)
    target_link_options(${name} PRIVATE -static-libgcc -static-libstdc++ -static)
  endif()
endfunction()

# add_gridloom_test(NAME SOURCES... [LABELS ...] [LIBRARIES ...] [ARGS ...] [NO_GTEST])
# A test program run by CTest (under Wine on Windows: the emulator), with the helpers of
# tests/support and the test data folder beside the calling CMakeLists.txt. NO_GTEST: the
# program has a main of its own (the fuzz targets' replay driver, the Windows host).
function(add_gridloom_test name)
  cmake_parse_arguments(ARG "NO_GTEST" "" "SOURCES;LABELS;LIBRARIES;ARGS" ${ARGN})
  gridloom_add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES})
  if(NOT ARG_NO_GTEST)
    target_link_libraries(${name} PRIVATE GTest::gmock GTest::gtest_main)
  endif()
  target_compile_definitions(${name} PRIVATE
    GRIDLOOM_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data")
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support
    ${PROJECT_SOURCE_DIR}/include)
  add_test(NAME ${name} COMMAND ${name} ${ARG_ARGS})
  set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
endfunction()

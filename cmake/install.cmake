# What `cmake --install` adds beside the targets (installed where they are defined): the CMake
# package, the pkg-config file, the man page and the documentation. On Windows the zip's
# READMEs (the Windows one in Japanese and English), docs and example site.
if(WIN32)
  install(FILES README.md docs/windows/README.txt DESTINATION .)
  # The pages a Windows user or host author needs.
  install(FILES docs/user-guide.md docs/ini-reference.md docs/host-api.md docs/example.png
    DESTINATION docs)
  install(DIRECTORY examples/site DESTINATION example)
  return()
endif()

include(CMakePackageConfigHelpers)
set(GRIDLOOM_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/gridloom)
install(EXPORT gridloomTargets NAMESPACE gridloom:: DESTINATION ${GRIDLOOM_CMAKE_DIR})
configure_file(cmake/gridloomConfig.cmake.in gridloomConfig.cmake @ONLY)
write_basic_package_version_file(gridloomConfigVersion.cmake COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/gridloomConfig.cmake
  ${PROJECT_BINARY_DIR}/gridloomConfigVersion.cmake DESTINATION ${GRIDLOOM_CMAKE_DIR})

# The prefix relative to the .pc file's folder, so that the installed tree can move.
file(RELATIVE_PATH GRIDLOOM_PC_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(cmake/gridloom.pc.in gridloom.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/gridloom.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES docs/gridloom.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs
  FILES_MATCHING PATTERN "*.md" PATTERN "*.png")
install(FILES examples/site/ini/fares.ini DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

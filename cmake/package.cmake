# cpack: a Debian package of the POSIX build (installed under /usr), a zip of the Windows one.
set(CPACK_PACKAGE_NAME gridloom)
set(CPACK_PACKAGE_VENDOR "gridloom contributors")
set(CPACK_PACKAGE_CONTACT "gridloom contributors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
  "gridloom renders CSV files as HTML tables, with the tags of an INI file. It is a plug-in for\n\
page preprocessors (libgridloom.so, gridloom.dll on Windows) and the gridloom command, which\n\
renders single tables and expands whole sites.")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME gridloom-${PROJECT_VERSION}-win32)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "gridloom contributors")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  find_program(GRIDLOOM_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(GRIDLOOM_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  endif()
endif()

include(CPack)

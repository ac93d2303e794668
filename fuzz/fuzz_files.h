// Files for the fuzz targets that read from disk: one scratch directory per process (on
// /dev/shm when there is one), made on first use and removed at exit.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "temp_dir.h"

namespace gridloom::fuzz {

inline const gridloom::testsupport::TempDir& Scratch() {
  static const gridloom::testsupport::TempDir dir(
      "gridloom-fuzz", std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "");
  return dir;
}

inline const std::string& ScratchDir() { return Scratch().path(); }

// Replaces the file's content with bytes; answers the file's path.
inline std::string WriteScratch(const std::string& name, std::string_view bytes) {
  return Scratch().Write(name, bytes);
}

// The path as the library writes paths: Windows separators.
inline std::string AnsiPath(std::string path) {
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path;
}

}  // namespace gridloom::fuzz

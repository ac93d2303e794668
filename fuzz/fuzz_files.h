// Files for the fuzz targets that read from disk: one scratch directory per process (on
// /dev/shm when there is one), made on first use and removed at exit.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace gridloom::fuzz {

class ScratchDirectory {
 public:
  ScratchDirectory() {
    const char* base = std::getenv("TMPDIR");
    path_ = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : base ? base : "/tmp";
    path_ += "/gridloom-fuzz-XXXXXX";
    if (mkdtemp(path_.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

inline const std::string& ScratchDir() {
  static const ScratchDirectory dir;
  return dir.Path();
}

// Replaces the file's content with bytes; answers the file's path.
inline std::string WriteScratch(const std::string& name, std::string_view bytes) {
  const std::string path = ScratchDir() + "/" + name;
  std::ofstream file(path, std::ios::out | std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::abort();
  }
  return path;
}

// The path as the library writes paths: Windows separators.
inline std::string AnsiPath(std::string path) {
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path;
}

}  // namespace gridloom::fuzz

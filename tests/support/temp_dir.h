// A scratch folder for one test or fuzz process, under the system's temporary folder (or
// parent), removed with all it holds when the object goes. Names given to it are UTF-8; the
// paths it answers are the library's kind: bytes the file functions take as they are (on
// Windows the temporary folder's path must be ASCII, as it is under Wine).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>

namespace gridloom::testsupport {

// A file name in UTF-8 as the file system takes it.
inline std::filesystem::path Utf8Path(std::string_view name) {
  return std::filesystem::path(std::u8string(name.begin(), name.end()));
}

class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "gridloom-test", std::string parent = "") {
    std::error_code error;
    if (parent.empty()) parent = std::filesystem::temp_directory_path(error).string();
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
      path_ = parent + "/" + prefix + "-" + std::to_string(random() % 100000000);
      if (std::filesystem::create_directory(path_, error)) return;
    }
    std::fprintf(stderr, "cannot make a scratch folder under %s\n", parent.c_str());
    std::abort();
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  std::string Path(const std::string& name) const { return *this / name; }

  // Replaces the file's content with bytes (folders made as needed); answers its path. The
  // name is UTF-8. Aborts when it cannot.
  std::string Write(const std::string& name, std::string_view bytes) const {
    const std::filesystem::path file = Utf8Path(*this / name);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::fprintf(stderr, "cannot write %s\n", (*this / name).c_str());
      std::abort();
    }
    return *this / name;
  }

 private:
  std::string path_;
};

}  // namespace gridloom::testsupport

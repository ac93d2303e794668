// A scratch directory for one test or fuzz process: made with mkdtemp, removed with all it
// holds when the object goes.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace gridloom::testsupport {

class TempDir {
 public:
  // Under parent, or under $TMPDIR (else /tmp) when parent is empty.
  explicit TempDir(const std::string& prefix = "gridloom-test", std::string parent = "") {
    if (parent.empty()) {
      const char* tmp = std::getenv("TMPDIR");
      parent = tmp != nullptr ? tmp : "/tmp";
    }
    path_ = parent + "/" + prefix + "-XXXXXX";
    if (mkdtemp(path_.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
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

  // Replaces the file's content with bytes (folders made as needed); answers its path.
  // Aborts when it cannot.
  std::string Write(const std::string& name, std::string_view bytes) const {
    const std::string file = *this / name;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::fprintf(stderr, "cannot write %s\n", file.c_str());
      std::abort();
    }
    return file;
  }

 private:
  std::string path_;
};

}  // namespace gridloom::testsupport

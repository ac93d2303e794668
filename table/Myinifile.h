// MyIniFile reads single string values from one INI file, through the Windows profile reader.
// It keeps only the path: every read goes to the file anew.
#pragma once

#include <string>

namespace gridloom {

class MyIniFile {
 public:
  explicit MyIniFile(const std::string& path);

  // The value of key in section, or defaultValue when the file, the section or the key is
  // missing. A value of any length is read whole.
  std::string ReadString(const char* section, const char* key, const char* defaultValue) const;

 private:
  std::string path;
};

}  // namespace gridloom

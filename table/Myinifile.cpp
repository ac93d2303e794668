#include "Myinifile.h"

#include <memory>

#include "gridloom/winapi.h"

namespace gridloom {

MyIniFile::MyIniFile(const std::string& path) : path(path) {}

std::string MyIniFile::ReadString(const char* section, const char* key,
                                  const char* defaultValue) const {
  // The profile reader cuts a value that does not fit and then answers size - 1, so the
  // buffer grows by 256 bytes until an answer leaves room to spare.
  std::string value;
  for (DWORD size = 256;; size += 256) {
    const auto buffer = std::make_unique<char[]>(size);
    const DWORD count =
        GetPrivateProfileStringA(section, key, defaultValue, buffer.get(), size, path.c_str());
    value.assign(buffer.get());
    if (count != size - 1) return value;
  }
}

}  // namespace gridloom

#include "table/Myinifile.h"

#include <memory>

#include "gridloom/winapi.h"

namespace gridloom {
namespace {

// The largest buffer asked for: a value longer than this is read to this length.
constexpr DWORD kMaxSize = DWORD{1} << 30;

}  // namespace

MyIniFile::MyIniFile(const std::string& path) : path(path) {}

std::string MyIniFile::ReadString(const char* section, const char* key,
                                  const char* defaultValue) const {
  // The profile reader cuts a value that does not fit and then answers size - 1; a value in
  // quotes that the buffer holds but for its closing quote comes back one character short,
  // answered size - 2. So the buffer grows until an answer leaves two bytes to spare: from 256
  // bytes, doubling, so that a long value costs a few reads of the file rather than one for
  // every 256 bytes of it.
  std::string value;
  for (DWORD size = 256;; size = size <= kMaxSize / 2 ? 2 * size : kMaxSize) {
    const auto buffer = std::make_unique<char[]>(size);
    const DWORD count =
        GetPrivateProfileStringA(section, key, defaultValue, buffer.get(), size, path.c_str());
    value.assign(buffer.get());
    if (count + 2 < size || size == kMaxSize) return value;
  }
}

}  // namespace gridloom

// GetPrivateProfileStringA for POSIX. It reads an INI file the way Windows does (checked
// against Wine): the file is decoded to UTF-16 (UTF-8 or UTF-16 after a byte order mark, the
// ANSI code page otherwise), lines end at CR or LF, blanks around names and values are
// dropped, names compare without regard to case, the first section of a name and the first
// key of a name in it count, and the value comes back in the ANSI code page.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "codepage_internal.h"
#include "gridloom/native_path.h"
#include "gridloom/winapi.h"

namespace gridloom::winapi {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r') || c == u'\x1A'; }

std::u16string_view Trim(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Names and values are NUL-terminated strings inside Windows: a NUL ends them.
std::u16string_view UpToNul(std::u16string_view text) {
  return text.substr(0, text.find(u'\0'));
}

char16_t FoldCase(char16_t c) { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; }

bool SameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

std::u16string Widen(const CodePage& page, std::string_view bytes) {
  std::u16string wide(bytes.size(), u'\0');
  bool overflow = false;
  wide.resize(Decode(page, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                     wide.data(), wide.size(), overflow));
  return wide;
}

std::optional<std::u16string> ReadProfileText(LPCSTR fileName, const CodePage& ansi) {
  // Read in one go: the file is read once for every value asked for.
  struct File {
    int fd;
    ~File() {
      if (fd >= 0) ::close(fd);
    }
  } file{::open(NativePath(fileName).c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) return std::nullopt;
  std::string bytes;
  struct stat info {};
  if (::fstat(file.fd, &info) == 0 && info.st_size > 0)
    bytes.resize(static_cast<std::size_t>(info.st_size) + 1);  // + 1 to see the end at once
  if (bytes.empty()) bytes.resize(4096);
  std::size_t size = 0;
  for (;;) {
    if (size == bytes.size()) bytes.resize(2 * bytes.size());
    const ssize_t got = ::read(file.fd, bytes.data() + size, bytes.size() - size);
    if (got > 0) {
      size += static_cast<std::size_t>(got);
    } else if (got == 0) {
      break;
    } else if (errno != EINTR) {
      return std::nullopt;  // not readable: a folder, say
    }
  }
  bytes.resize(size);
  std::string_view view = bytes;
  if (view.starts_with("\xEF\xBB\xBF")) {
    const CodePage* utf8 = FindCodePage(CP_UTF8);
    return Widen(*utf8, view.substr(3));
  }
  if (view.starts_with("\xFF\xFE") || view.starts_with("\xFE\xFF")) {
    const bool little = view[0] == '\xFF';
    std::u16string wide;
    for (std::size_t i = 2; i + 1 < view.size(); i += 2) {
      const auto lo = static_cast<unsigned char>(view[little ? i : i + 1]);
      const auto hi = static_cast<unsigned char>(view[little ? i + 1 : i]);
      wide += static_cast<char16_t>(hi << 8 | lo);
    }
    return wide;
  }
  return Widen(ansi, view);
}

// The value of key in the first section named section; nullopt when there is none, or when
// the key stands without "=".
std::optional<std::u16string_view> FindValue(std::u16string_view text,
                                             std::u16string_view section,
                                             std::u16string_view key) {
  bool inSection = false, sectionSeen = false;
  while (!text.empty()) {
    const std::size_t end = text.find_first_of(u"\r\n");
    std::u16string_view line = Trim(text.substr(0, end));
    text.remove_prefix(end == std::u16string_view::npos ? text.size() : end + 1);
    if (line.empty()) continue;
    if (line.front() == u'[') {
      const std::size_t close = line.rfind(u']');
      if (close != std::u16string_view::npos) {
        if (sectionSeen) return std::nullopt;  // only the first section of a name counts
        inSection = SameName(UpToNul(Trim(line.substr(1, close - 1))), section);
        sectionSeen = inSection;
        continue;
      }
    }
    if (!inSection) continue;
    const std::size_t equals = line.find(u'=');
    if (!SameName(UpToNul(Trim(line.substr(0, equals))), key)) continue;
    if (equals == std::u16string_view::npos) return std::nullopt;
    return UpToNul(Trim(line.substr(equals + 1)));
  }
  return std::nullopt;
}

std::u16string_view StripQuotes(std::u16string_view value) {
  if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
      value.back() == value.front())
    return value.substr(1, value.size() - 2);
  return value;
}

}  // namespace
}  // namespace gridloom::winapi

extern "C" DWORD WINAPI GetPrivateProfileStringA(LPCSTR section, LPCSTR key,
                                                 LPCSTR defaultValue, LPSTR buffer, DWORD size,
                                                 LPCSTR fileName) {
  using namespace gridloom::winapi;
  if (buffer == nullptr || size == 0) return 0;
  std::string result;
  try {
    const CodePage* ansi = FindCodePage(CP_ACP);
    std::optional<std::u16string_view> value;
    std::optional<std::u16string> text;
    std::u16string sectionW, keyW;
    if (ansi != nullptr && section != nullptr && key != nullptr && fileName != nullptr) {
      text = ReadProfileText(fileName, *ansi);
      sectionW = Widen(*ansi, section);
      keyW = Widen(*ansi, key);
      const std::u16string_view wantedSection = Trim(sectionW);
      if (text && !wantedSection.empty()) value = FindValue(*text, wantedSection, Trim(keyW));
    }
    if (value) {
      Encode(*ansi, StripQuotes(*value), result);
    } else if (defaultValue != nullptr) {
      result = defaultValue;
      while (!result.empty() && result.back() == ' ') result.pop_back();
    }
  } catch (...) {
    result.clear();  // out of memory: nothing can be read
  }
  const std::size_t copied = result.size() < size ? result.size() : size - 1;
  std::memcpy(buffer, result.data(), copied);
  buffer[copied] = '\0';
  return static_cast<DWORD>(copied);
}

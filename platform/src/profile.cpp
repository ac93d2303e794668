// GetPrivateProfileStringA for POSIX. It reads an INI file the way Windows does (checked
// against Wine, tests/winapi): the file is decoded to UTF-16 (UTF-8 or UTF-16 after a byte
// order mark, the ANSI code page otherwise), lines end at CR or LF, blanks around names and
// values are dropped, names compare without regard to case, the first section of a name and
// the first key of a name in it count, and the value comes back in the ANSI code page. A
// null section asks for the section names, a null key for a section's key names.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf16.h"
#include "platform/src/codepage_internal.h"
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

// An INI file as Windows reads it: the lines before the first section header form a section
// of their own, named "" (the one that an empty section name finds: a header "[]" names a
// section that no name finds), then a section for each header.
struct Entry {
  std::u16string_view name;                // blanks dropped
  std::optional<std::u16string_view> value;  // none without "="
};
struct Section {
  std::u16string_view name;
  std::vector<Entry> entries;
};

std::vector<Section> Parse(std::u16string_view text) {
  std::vector<Section> sections(1);
  while (!text.empty()) {
    const std::size_t end = text.find_first_of(u"\r\n");
    std::u16string_view line = Trim(text.substr(0, end));
    text.remove_prefix(end == std::u16string_view::npos ? text.size() : end + 1);
    if (line.empty()) continue;
    if (line.front() == u'[') {
      const std::size_t close = line.rfind(u']');
      if (close != std::u16string_view::npos) {
        sections.push_back({UpToNul(Trim(line.substr(1, close - 1))), {}});
        continue;
      }
    }
    const std::size_t equals = line.find(u'=');
    Entry entry{UpToNul(Trim(line.substr(0, equals))), std::nullopt};
    if (equals != std::u16string_view::npos) entry.value = UpToNul(Trim(line.substr(equals + 1)));
    sections.back().entries.push_back(entry);
  }
  return sections;
}

// The first section of a name: only it counts.
const Section* FindSection(const std::vector<Section>& sections, std::u16string_view name) {
  for (const Section& section : sections) {
    if (SameName(section.name, name)) return &section;
  }
  return nullptr;
}

// The value of key in the first section named section; nullopt when there is none, or when
// the first line of that key stands without "=".
std::optional<std::u16string_view> FindValue(const std::vector<Section>& sections,
                                             std::u16string_view section,
                                             std::u16string_view key) {
  const Section* found = FindSection(sections, section);
  if (found == nullptr) return std::nullopt;
  for (const Entry& entry : found->entries) {
    if (SameName(entry.name, key)) return entry.value;
  }
  return std::nullopt;
}

// A list of names as Windows writes it into a buffer of size bytes: each name and a NUL,
// then one more NUL. A list that does not fit with a byte to spare is cut to size - 2 bytes
// and a NUL, and the answer is size - 2.
DWORD WriteList(const std::string& names, LPSTR buffer, DWORD size) {
  if (size < 2) {
    buffer[0] = '\0';
    return 0;
  }
  if (names.size() + 1 < size) {
    std::memcpy(buffer, names.data(), names.size());
    buffer[names.size()] = '\0';
    return static_cast<DWORD>(names.size());
  }
  std::memcpy(buffer, names.data(), size - 2);
  buffer[size - 2] = '\0';
  return size - 2;
}

// A value (or a default) as Windows copies it into a buffer of size bytes: a value wholly
// in a pair of quotes loses them, even where the buffer holds it but for the closing one
// (which then takes the text's last character with it); the text is cut to size - 1 code
// units and converted to the ANSI code page, and characters are written whole: one that
// does not fit is left out, the buffer's last byte becomes NUL and the answer is size - 1.
DWORD WriteValue(const CodePage& ansi, std::u16string_view value, LPSTR buffer, DWORD size) {
  const bool quoted = value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
                      value.back() == value.front();
  if (quoted) value.remove_prefix(1);
  std::u16string_view copied = value.substr(0, size - 1);
  if (quoted && size >= value.size() && !copied.empty()) copied.remove_suffix(1);
  std::string bytes;
  Encode(ansi, copied, bytes);
  if (bytes.size() <= size - 1) {
    std::memcpy(buffer, bytes.data(), bytes.size());
    buffer[bytes.size()] = '\0';
    return static_cast<DWORD>(bytes.size());
  }
  std::size_t written = 0;
  for (std::size_t i = 0; i < copied.size();) {
    // A character: one unit, or a surrogate pair.
    const std::size_t units = utf16::Units(copied, i);
    std::string character;
    Encode(ansi, copied.substr(i, units), character);
    if (written + character.size() > size - 1) break;
    std::memcpy(buffer + written, character.data(), character.size());
    written += character.size();
    i += units;
  }
  buffer[size - 1] = '\0';
  return size - 1;
}

}  // namespace
}  // namespace gridloom::winapi

extern "C" DWORD WINAPI GetPrivateProfileStringA(LPCSTR section, LPCSTR key,
                                                 LPCSTR defaultValue, LPSTR buffer, DWORD size,
                                                 LPCSTR fileName) {
  using namespace gridloom::winapi;
  if (buffer == nullptr || size == 0) return 0;
  try {
    const CodePage* ansi = FindCodePage(CP_ACP);
    if (ansi == nullptr) {
      buffer[0] = '\0';
      return 0;
    }
    std::optional<std::u16string> text;
    if (fileName != nullptr) text = ReadProfileText(fileName, *ansi);
    const std::vector<Section> sections = text ? Parse(*text) : std::vector<Section>{};
    std::u16string sectionW, keyW;
    if (section != nullptr) sectionW = Widen(*ansi, section);
    if (key != nullptr) keyW = Widen(*ansi, key);
    if (section == nullptr) {  // the names of the sections
      std::string names;
      for (std::size_t i = 1; i < sections.size(); ++i) {
        if (sections[i].name.empty()) continue;
        Encode(*ansi, sections[i].name, names);
        names += '\0';
      }
      return WriteList(names, buffer, size);
    }
    if (key == nullptr) {  // the names of the keys of a section; none: the default
      std::string names;
      if (const Section* found = FindSection(sections, sectionW)) {
        for (const Entry& entry : found->entries) {
          if (!entry.value || entry.name.starts_with(u';')) continue;  // no value, a comment
          Encode(*ansi, entry.name, names);
          names += '\0';
        }
      }
      if (const DWORD count = WriteList(names, buffer, size); count > 0) return count;
    } else if (const auto value = FindValue(sections, Trim(sectionW), Trim(keyW))) {
      return WriteValue(*ansi, *value, buffer, size);
    }
    // The default, without its trailing blanks (but its first character stays).
    std::u16string fallback = defaultValue != nullptr ? Widen(*ansi, defaultValue) : u"";
    while (fallback.size() > 1 && fallback.back() == u' ') fallback.pop_back();
    return WriteValue(*ansi, fallback, buffer, size);
  } catch (...) {  // out of memory: nothing can be read
    buffer[0] = '\0';
    return 0;
  }
}

// Text and files for the host: charset conversion through iconv, whole-file reads, and
// writes that never leave a truncated file (a temporary file in the same folder, renamed).
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace gridloom::host {

// A file that cannot be read or written; the message names the file and the reason.
class IoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The iconv name of a Windows code page: 65001 is UTF-8, others are CPnnn.
std::string CodePageCharset(unsigned codePage);

// Converts bytes between two charsets. Not for concurrent use: one per thread.
class Recoder {
 public:
  // Throws std::invalid_argument when iconv knows either charset not.
  Recoder(const std::string& from, const std::string& to);
  ~Recoder();
  Recoder(const Recoder&) = delete;
  Recoder& operator=(const Recoder&) = delete;

  // nullopt when the text holds a sequence that is invalid or has no counterpart.
  std::optional<std::string> Convert(std::string_view text);

 private:
  void* cd_ = nullptr;  // null when both charsets are the same
};

// Converts UTF-16 to a charset. A character the charset lacks becomes a numeric character
// reference (&#N;), so HTML keeps it. Not for concurrent use: one per thread.
class WideEncoder {
 public:
  explicit WideEncoder(const std::string& to);  // throws std::invalid_argument
  ~WideEncoder();
  WideEncoder(const WideEncoder&) = delete;
  WideEncoder& operator=(const WideEncoder&) = delete;

  std::string Encode(std::u16string_view text);

 private:
  void* cd_;
  bool utf8_;  // UTF-8 has a fast path of its own
};

// UTF-16 to UTF-8, a lone surrogate as the reference &#65533;: what WideEncoder("UTF-8")
// gives, at the speed of a table's worth of text.
std::string EncodeUtf8(std::u16string_view text);

// The bytes of a file. Throws IoError.
std::string ReadFile(const std::filesystem::path& path);

// Writes all of data to the file descriptor; answers 0 or the errno of the failure.
int WriteAll(int fd, std::string_view data);

// Writes text as UTF-8 in pieces, so that no UTF-8 copy of the whole text is made.
int WriteUtf8(int fd, std::u16string_view text);

// Replaces path with data: writes a temporary file beside it and renames it. On failure the
// old file, if any, is left as it was and the temporary file is removed. Throws IoError.
void WriteFileAtomic(const std::filesystem::path& path, std::string_view data);
// The same, with the file's content written by fill (which answers 0 or an errno).
void WriteFileAtomic(const std::filesystem::path& path, const std::function<int(int fd)>& fill);

}  // namespace gridloom::host

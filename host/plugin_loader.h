// The plug-in as a host sees it: a shared library loaded at run time, its eight exports
// looked up by their undecorated names. Every BSTR it returns is the host's to free.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include "text_io.h"

namespace gridloom::host {

// The library cannot be loaded, or lacks an export.
class PluginError : public IoError {
 public:
  using IoError::IoError;
};

// A string the plug-in returned, owned by the host and freed when this goes.
class WideText {
 public:
  explicit WideText(char16_t* text) : text_(text) {}
  ~WideText();
  WideText(WideText&& other) noexcept : text_(other.text_) { other.text_ = nullptr; }
  WideText(const WideText&) = delete;
  WideText& operator=(const WideText&) = delete;
  WideText& operator=(WideText&&) = delete;

  std::u16string_view View() const;

 private:
  char16_t* text_;
};

// A shared library loaded at run time: its handle, or null with the system's reason in error.
// A name without a slash is a file in the working folder, never searched for.
void* OpenLibrary(const std::filesystem::path& path, std::string& error);
void* FindExport(void* library, const char* name);  // null when it lacks the name
void CloseLibrary(void* library);

// The six text exports.
enum class PluginText { Name, Version, Author, Syntax, Description, Example };

class Plugin {
 public:
  // Loads the library at path. Throws PluginError.
  explicit Plugin(const std::filesystem::path& path);
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  std::int32_t Type() const;
  std::u16string Text(PluginText which) const;

  // One inline call; argText and baseDir in the ANSI code page. Safe from many threads.
  WideText InlineText(const std::string& argText, const std::string& baseDir) const;

 private:
  void* handle_;
  void* type_;
  void* texts_[6];
  void* inline_;
};

}  // namespace gridloom::host

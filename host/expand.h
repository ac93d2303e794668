// Expansion of pages: each inline call is replaced by the plug-in's result for its argument
// text, with the page's own folder as the base directory. ExpandPages runs a whole request
// (pages and folders, output to a stream, a file or a mirrored tree) on several threads.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "text_io.h"

namespace gridloom::host {

// Exit statuses of the gridloom command.
enum ExitStatus : int { kOk = 0, kNoTable = 1, kUsage = 2, kIoFailure = 3 };

// One inline call of the plug-in: argument text and base directory in the ANSI code page.
using InlineFunction =
    std::function<std::u16string(const std::string& argText, const std::string& baseDir)>;

struct Encodings {
  std::string page;      // charset of pages, an iconv name
  std::string ansi;      // charset of the ANSI code page, an iconv name
  unsigned codePage = 932;
};

// What became of one page.
struct PageResult {
  std::string text;                   // the expanded page
  std::size_t tables = 0;             // calls that gave a table
  std::size_t failures = 0;           // calls that gave no table
  std::vector<std::string> warnings;  // "PAGE:LINE: ..." lines
};

// Expands single pages; holds the converters of one thread.
class PageExpander {
 public:
  PageExpander(InlineFunction call, const Encodings& encodings);  // throws invalid_argument
  // name: the page as the user sees it, for warnings. folder: its folder, the base directory.
  PageResult Expand(std::string_view page, const std::string& name,
                    const std::filesystem::path& folder);

 private:
  InlineFunction call_;
  Encodings encodings_;
  Recoder toAnsi_;        // page charset to ANSI code page
  Recoder folderToAnsi_;  // file names (UTF-8) to ANSI code page
  Recoder toUtf8_;        // page charset to UTF-8, for messages
  WideEncoder toPage_;    // plug-in results to page charset
};

struct ExpandRequest {
  std::vector<std::filesystem::path> inputs;  // pages and folders
  std::optional<std::filesystem::path> outFile;
  std::optional<std::filesystem::path> outDir;
  unsigned jobs = 1;
  bool strict = false;
  bool quiet = false;
};

// Runs a request; messages go to standard error, a single page without an output to
// standard output. Returns the exit status.
int ExpandPages(const InlineFunction& call, const Encodings& encodings,
                const ExpandRequest& request);

}  // namespace gridloom::host

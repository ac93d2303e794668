// Expansion of pages: each inline call is replaced by the plug-in's result for its argument
// text, with the page's own folder as the base directory. ExpandPages runs a whole request
// (pages and folders, output to a stream, a file or a mirrored tree, or only a check) on
// several threads.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "build_state.h"
#include "text_io.h"

namespace gridloom::host {

// Exit statuses of the gridloom command.
enum ExitStatus : int { kOk = 0, kNoTable = 1, kUsage = 2, kIoFailure = 3 };

// A message on standard error, after "gridloom: ". Messages are in the encoding of the names
// in them: UTF-8 on POSIX, the ANSI code page on Windows.
void Error(const std::string& message);

// One inline call of the plug-in: argument text and base directory in the ANSI code page.
using InlineFunction =
    std::function<std::u16string(const std::string& argText, const std::string& baseDir)>;

struct Encodings {
  std::string page;      // charset of pages, an iconv name
  std::string ansi;      // charset of the ANSI code page, an iconv name
  unsigned codePage = 932;
  std::string pageName = "UTF-8";  // the page encoding as the user named it
};

// What one call in a page came to.
struct CallReport {
  std::size_t line = 0;
  std::string csv, ini;  // the files as resolved, for people; ini is empty when none is named
  std::string csvPath, iniPath;       // the same as the operating system takes them
  std::vector<std::string> problems;  // none: the call is fine
  bool table = false;                 // the plug-in made a table
  FileStamp csvStamp, iniStamp;       // taken before the plug-in read them
};

// What became of one page.
struct PageResult {
  std::string text;  // the expanded page
  std::vector<CallReport> calls;
  std::size_t Tables() const;
  std::size_t Problems() const;  // calls with a problem
  // Each problem on a line of its own, as "NAME:LINE: problem".
  std::string ProblemLines(const std::string& name) const;
};

// Expands single pages; holds the converters of one thread.
class PageExpander {
 public:
  PageExpander(InlineFunction call, const Encodings& encodings);  // throws invalid_argument
  // name: the page as the user sees it, for messages. folder: its folder, the base
  // directory. render false: the calls are resolved and checked but the plug-in is not
  // called, and no text is made. Throws IoError for a page its encoding cannot read.
  PageResult Expand(std::string_view page, const std::string& name,
                    const std::filesystem::path& folder, bool render = true);
  // Whether the page encoding writes ASCII as ASCII (text can be put into pages as bytes).
  bool AsciiCompatible() const { return asciiCompatible_; }

 private:
  CallReport Resolve(std::string_view args, const std::filesystem::path& folder,
                     std::string& ansiArgs, std::string& ansiBase);

  InlineFunction call_;
  Encodings encodings_;
  bool asciiCompatible_;  // the page encoding writes ASCII as ASCII
  Recoder toUtf8_;        // page charset to UTF-8
  Recoder utf8ToAnsi_;    // UTF-8 to the ANSI code page
  Recoder fromUtf8_;      // UTF-8 to the page charset
  WideEncoder toPage_;    // plug-in results to the page charset
};

// Why the file an ANSI path names cannot be read (the operating system's words), or nothing
// when it can. csv: also a device name of Windows, which the plug-in never opens as a table.
std::string Unreadable(const std::string& ansiPath, bool csv);

struct ExpandRequest {
  std::vector<std::filesystem::path> inputs;  // pages and folders
  std::optional<std::filesystem::path> outFile;
  std::optional<std::filesystem::path> outDir;
  unsigned jobs = 1;
  bool strict = false;
  bool quiet = false;
  bool check = false;  // report every call on standard output, write nothing
  // With outDir: what besides pages and data the outputs depend on (a change rebuilds
  // everything), whether to rebuild everything anyway, and whether outputs whose page or
  // file is gone are removed.
  std::string buildKey;
  bool force = false;
  bool deleteStale = false;
  std::optional<std::filesystem::path> depfile;  // rules for make and ninja, written here
  bool includeHidden = false;  // walks take names that start with a dot too
};

// The files a page's calls read, once each, as the operating system takes them.
std::vector<Input> InputsOf(const PageResult& result);

// Runs a request; messages go to standard error, a single page without an output to
// standard output. Returns the exit status.
int ExpandPages(const InlineFunction& call, const Encodings& encodings,
                const ExpandRequest& request);

}  // namespace gridloom::host

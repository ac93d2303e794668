// One page expanded: each inline call replaced by the plug-in's result for its argument
// text, with the page's own folder as the base directory, and what each call came to. What
// the command says of a call's files comes from the plug-in's own rules (call_rules.h).
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "build_state.h"
#include "plugin/call_rules.h"
#include "plugin_loader.h"
#include "text_io.h"

namespace gridloom::host {

// One inline call of the plug-in: argument text and base directory in the ANSI code page; the
// plug-in's BSTR, freed when the answer goes.
using InlineFunction =
    std::function<WideText(const std::string& argText, const std::string& baseDir)>;

// Where an expanded page goes, piece by piece. expect, where a sink keeps the page: at most
// that many bytes come before the next piece of the page's own text (a table's), so that
// room for them is made once.
// utf8, where a sink writes a file: writes a table as UTF-8 itself (on two cores when it is
// long), for pages in UTF-8.
struct PageSink {
  std::function<void(std::string_view piece)> write;
  std::function<void(std::size_t bytes)> expect = nullptr;
  std::function<void(std::u16string_view table)> utf8 = nullptr;
};

struct Encodings {
  std::string page;      // charset of pages, an iconv name
  std::string ansi;      // charset of the ANSI code page, an iconv name
  unsigned codePage = 932;
  std::string pageName = "UTF-8";  // the page encoding as the user named it
};

// A file of a call as people read it: its folder (none: the working folder), a slash, the
// name with slashes.
std::string Shown(const std::string& folder, const std::string& name);

// What the command says of a call's INI file that cannot be read ("cannot read INI file
// SHOWN: REASON; the default tags are used"), or nothing: it can, or none is named.
std::string IniProblem(const call::Files& files, const std::string& shown);
// Why the plug-in made no table of a call's CSV file: "cannot open CSV file SHOWN: REASON".
std::string CsvProblem(const call::Files& files, const std::string& shown);

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
  // Each call on a line of its own, as "NAME:LINE: CSV c, INI i: ok" or its problems.
  std::string CallLines(const std::string& name) const;
};

// The files a page's calls read, once each, as the operating system takes them.
std::vector<Input> InputsOf(const PageResult& result);

// Expands single pages; holds the converters of one thread.
class PageExpander {
 public:
  PageExpander(InlineFunction call, const Encodings& encodings);  // throws invalid_argument
  // name: the page as the user sees it, for messages. folder: its folder, the base
  // directory. render false: only the names of the calls' files are resolved (their paths,
  // and their names for people); the files are not looked at, the plug-in is not called, and
  // no text is made. Throws IoError for a page its encoding cannot read.
  PageResult Expand(std::string_view page, const std::string& name,
                    const std::filesystem::path& folder, bool render = true);
  // The same, the page given to sink in pieces as it is made (result.text stays empty): a
  // table is never whole in the page's encoding, only a piece of it at a time. Nothing is
  // given when the page cannot be read or written in its encoding.
  PageResult Expand(std::string_view page, const std::string& name,
                    const std::filesystem::path& folder, const PageSink& sink);
  // Whether the page encoding writes ASCII as ASCII (text can be put into pages as bytes).
  bool AsciiCompatible() const { return asciiCompatible_; }
  // Whether calls record the stamps of their files (csvStamp, iniStamp), for a build that
  // remembers what it was made from: on unless turned off. A file's stamp is taken once in
  // the expander's life (one build): a file that changes after that is found changed by the
  // next build, which the stamp taken before the change makes sure of.
  void Stamp(bool stamping) { stamping_ = stamping; }

 private:
  CallReport Resolve(std::string_view args, const std::filesystem::path& folder, bool checked,
                     std::string& ansiArgs, std::string& ansiBase, call::Files& files);
  // The calls of a page in UTF-8 or an encoding that writes ASCII as ASCII; the page to sink
  // when there is one.
  void ExpandCalls(std::string_view page, const std::filesystem::path& folder,
                   const PageSink* sink, PageResult& result);
  // A table in the page's encoding, a piece at a time.
  void Encode(std::u16string_view html, const PageSink& sink);

  InlineFunction call_;
  Encodings encodings_;
  bool asciiCompatible_;  // the page encoding writes ASCII as ASCII
  Recoder toUtf8_;        // page charset to UTF-8
  Recoder utf8ToAnsi_;    // UTF-8 to the ANSI code page
  Recoder fromUtf8_;      // UTF-8 to the page charset
  WideEncoder toPage_;    // plug-in results to the page charset
  bool toPageIsUtf8_;     // toPage_ writes UTF-8
  bool stamping_ = true;
  std::map<std::string, std::string> iniProblems_;  // of the INI files read
  StampCache stamps_;                               // of the files read
};

// Runs work(index, expander) for every index below count on up to threads threads, each
// with an expander of its own; indexes are taken in order.
void ForEachPage(std::size_t count, unsigned threads, const InlineFunction& call,
                 const Encodings& encodings,
                 const std::function<void(std::size_t, PageExpander&)>& work);

}  // namespace gridloom::host

// Finds the inline calls "&gridloom(ARGS)" in a page, byte by byte (any ASCII-compatible
// encoding, Shift_JIS included). ARGS ends at the first ")" outside double quotes; a call
// without one is unbalanced and is reported so that it can be left as written.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace gridloom::host {

struct InlineCall {
  std::size_t begin = 0;  // offset of "&"
  std::size_t end = 0;    // just after ")"; for an unbalanced call, just after "("
  std::string_view args;  // the text between the parentheses; empty when unbalanced
  std::size_t line = 0;   // line of "&", from 1
  bool balanced = false;
};

// Every call in page order. Scanning resumes after each call, and after the "(" of an
// unbalanced one.
std::vector<InlineCall> FindInlineCalls(std::string_view page);

// Field 0 of the argument text (the CSV file name), split by the plug-in's CSV rules.
std::string CsvFileName(std::string_view argText);

// Argument text that names the files as given: each quoted, quotes doubled.
std::string ArgumentText(const std::vector<std::string>& names);

}  // namespace gridloom::host

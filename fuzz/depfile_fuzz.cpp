// DepfileText on rules whose names are built from the input: it refuses them (IoError), or
// its text, read as GNU make reads a makefile, gives back exactly the names written, rule by
// rule, with an empty rule for each data file. Names are what a path can be: never empty,
// never holding a NUL.
//
// The reader below follows make 4.3 (as its manual describes it, and as make -p shows it
// reading): a line that ends in an odd number of backslashes goes on, the backslash, the
// blanks around it and the line end becoming one space; a "#" starts a comment; "$$" is a
// "$"; white space at the end of a line is dropped; the first ":" ends the targets. Names
// are split at spaces and tabs, and white space before a name is passed over. A "#", ":",
// space or tab after n backslashes is escaped when n is odd, and either way half of them
// (rounded down) stay; so is a "%" in a target, which unescaped makes a pattern. Other
// backslashes stay as they are. Then "./" at the start of a name longer than two bytes goes,
// with the slashes after it (but a name of nothing else is "./"). Anything else that make
// reads in a way of its own (a variable, an assignment, a recipe, a wildcard, a home folder,
// a member of an archive, a pattern, an order-only or static-pattern list, a directive) the
// reader does not take: it answers nothing, and so the names were not written back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "depfile.h"
#include "files.h"

namespace {

using gridloom::host::DepRule;

struct Rule {
  std::vector<std::string> targets, prerequisites;
};

// A name ends at a space or a tab; before a name, and at the end of a line, a vertical tab, a
// form feed and a CR are passed over as well.
bool Blank(char c) { return c == ' ' || c == '\t'; }
bool Space(char c) { return Blank(c) || c == '\v' || c == '\f' || c == '\r'; }

// The first c at or after from that no backslash escapes, halving the backslashes before each
// c on the way (in text); npos when there is none.
template <typename Stop>
std::size_t FindUnescaped(std::string& text, std::size_t from, Stop stop) {
  for (std::size_t p = from; p < text.size(); ++p) {
    if (!stop(text[p])) continue;
    std::size_t n = 0;
    while (p - n > from && text[p - n - 1] == '\\') ++n;
    const std::size_t gone = (n + 1) / 2;
    text.erase(p - n, gone);
    p -= gone;
    if (n % 2 == 0) return p;
  }
  return std::string::npos;
}

// Logical lines: continuations joined (with the blanks around them, as one space).
std::vector<std::string> LogicalLines(std::string_view text) {
  std::vector<std::string> lines;
  std::string line;
  bool more = false;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view physical = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!physical.empty() && physical.back() == '\r') physical.remove_suffix(1);
    if (more) {
      while (!physical.empty() && Space(physical.front())) physical.remove_prefix(1);
      line += ' ';
    }
    line += physical;
    std::size_t backslashes = 0;
    while (backslashes < line.size() && line[line.size() - 1 - backslashes] == '\\') ++backslashes;
    more = backslashes % 2 == 1 && end != std::string_view::npos;
    if (more) {
      line.pop_back();
      while (!line.empty() && Blank(line.back())) line.pop_back();
      continue;
    }
    lines.push_back(std::move(line));
    line.clear();
  }
  if (more) lines.push_back(std::move(line));
  return lines;
}

// What make calls a file that a makefile names as written: the same, without "./" and the
// slashes after it at its start, but "./" where nothing else is left.
std::string AsMakeNamesIt(std::string name) {
  while (name.size() > 2 && name.starts_with("./")) {
    std::size_t slash = 2;
    while (slash < name.size() && name[slash] == '/') ++slash;
    name.erase(0, slash);
  }
  return name.empty() ? "./" : name;
}

// A name as make has it once it is split off, unless it is one of the names that make reads
// as something else. laterWords: the rest of the list, as written.
std::optional<std::string> Name(std::string name, std::string_view laterWords) {
  name = AsMakeNamesIt(std::move(name));
  if (name.starts_with('~')) return std::nullopt;  // a home folder
  if (name.find_first_of("*?[") != std::string::npos) return std::nullopt;  // a wildcard
  const std::size_t open = name.find('(');
  if (open != std::string::npos && open != 0) {
    // NAME(MEMBER) is a member of an archive; NAME(MEMBER followed by words the last of
    // which ends in ")" opens a group of members.
    if (name.back() == ')' && name.size() != open + 2) return std::nullopt;
    if (name.back() != ')') {
      std::size_t at = 0;
      while (at < laterWords.size()) {
        while (at < laterWords.size() && Space(laterWords[at])) ++at;
        const std::size_t start = at;
        while (at < laterWords.size() && !Blank(laterWords[at])) ++at;
        if (at > start && laterWords[at - 1] == ')') return std::nullopt;
      }
    }
  }
  return name;
}

// The names of a list of targets or prerequisites; nothing when make reads it otherwise.
std::optional<std::vector<std::string>> Names(std::string list, bool targets) {
  std::vector<std::string> names;
  std::size_t at = 0;
  while (true) {
    while (at < list.size() && Space(list[at])) ++at;
    if (at == list.size()) break;
    std::size_t end = FindUnescaped(list, at, Blank);
    if (end == std::string::npos) end = list.size();
    std::string name = list.substr(at, end - at);
    // "%" in a target makes a pattern unless a backslash escapes it.
    if (targets && FindUnescaped(name, 0, [](char c) { return c == '%'; }) != std::string::npos)
      return std::nullopt;
    std::optional<std::string> read = Name(std::move(name), std::string_view(list).substr(end));
    if (!read) return std::nullopt;
    names.push_back(*std::move(read));
    at = end;
  }
  return names;
}

bool Directive(std::string_view line) {
  static constexpr std::string_view kWords[] = {
      "include", "-include", "sinclude", "export", "unexport", "override", "private", "define",
      "endef", "undefine", "ifdef", "ifndef", "ifeq", "ifneq", "else", "endif", "vpath", "load",
      "-load"};
  std::size_t start = 0;
  while (start < line.size() && Space(line[start])) ++start;
  std::size_t end = start;
  while (end < line.size() && !Blank(line[end])) ++end;
  return std::find(std::begin(kWords), std::end(kWords), line.substr(start, end - start)) !=
         std::end(kWords);
}

std::optional<std::vector<Rule>> ReadMakefile(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  std::vector<Rule> rules;
  for (std::string line : LogicalLines(text)) {
    if (line.starts_with('\t')) return std::nullopt;  // a recipe
    // The comment, if any: a "$" and what follows it are a variable's name, never a "#".
    for (std::size_t p = 0; p < line.size(); ++p) {
      if (line[p] == '$') {
        ++p;
        continue;
      }
      if (line[p] != '#') continue;
      std::size_t n = 0;
      while (n < p && line[p - n - 1] == '\\') ++n;
      line.erase(p - n, (n + 1) / 2);
      p -= (n + 1) / 2;
      if (n % 2 == 0) {
        line.resize(p);
        break;
      }
    }
    while (!line.empty() && Space(line.back())) line.pop_back();
    if (std::all_of(line.begin(), line.end(), Space)) continue;
    if (Directive(line)) return std::nullopt;
    // Variables: only "$$" is taken, for "$".
    std::string expanded;
    for (std::size_t p = 0; p < line.size(); ++p) {
      if (line[p] != '$') {
        expanded += line[p];
      } else if (p + 1 < line.size() && line[p + 1] == '$') {
        expanded += '$';
        ++p;
      } else {
        return std::nullopt;
      }
    }
    if (expanded.find_first_of("=;|") != std::string::npos) return std::nullopt;
    const std::size_t colon = FindUnescaped(expanded, 0, [](char c) { return c == ':'; });
    if (colon == std::string::npos) return std::nullopt;  // not a rule
    std::string targets = expanded.substr(0, colon), prerequisites = expanded.substr(colon + 1);
    if (prerequisites.starts_with(':') || targets.ends_with('&')) return std::nullopt;
    std::string rest = prerequisites;  // a second colon: a static pattern rule
    if (FindUnescaped(rest, 0, [](char c) { return c == ':'; }) != std::string::npos)
      return std::nullopt;
    std::optional<std::vector<std::string>> t = Names(targets, true);
    std::optional<std::vector<std::string>> p = Names(rest, false);
    if (!t || !p || t->empty()) return std::nullopt;
    rules.push_back({*std::move(t), *std::move(p)});
  }
  return rules;
}

std::string NameFrom(FuzzedDataProvider& data) {
  std::string name = data.ConsumeRandomLengthString(48);
  name.erase(std::remove(name.begin(), name.end(), '\0'), name.end());
  return name.empty() ? "." : name;
}

// A name that every depfile must be able to hold: path characters, and the space, "#", ":"
// and "$" that are escaped.
bool Plain(const std::string& name) {
  if (name.starts_with('~') || name.ends_with(' ')) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c >= '0' && c <= '9') ||
           std::string_view("_.,+-/ #:$").find(c) != std::string_view::npos;
  });
}

// The names in their order, each once.
std::vector<std::string> Once(const std::vector<std::string>& names) {
  std::vector<std::string> once;
  for (const std::string& name : names) {
    if (std::find(once.begin(), once.end(), name) == once.end()) once.push_back(name);
  }
  return once;
}

[[noreturn]] void Fail(const char* what, const std::string& text) {
  std::fprintf(stderr, "depfile: %s\n--- text ---\n%s--- end ---\n", what, text.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  std::vector<DepRule> rules(data.ConsumeIntegralInRange(0, 3));
  std::vector<std::string> inputs;  // data files that several rules share
  bool plain = true;
  for (DepRule& rule : rules) {
    rule.target = NameFrom(data);
    rule.page = NameFrom(data);
    const int count = data.ConsumeIntegralInRange(0, 4);
    for (int i = 0; i < count; ++i) {
      if (!inputs.empty() && data.ConsumeBool()) {
        const std::size_t shared = data.ConsumeIntegralInRange<std::size_t>(0, inputs.size() - 1);
        rule.inputs.push_back(inputs[shared]);
      } else {
        inputs.push_back(NameFrom(data));
        rule.inputs.push_back(inputs.back());
      }
    }
    plain = plain && Plain(rule.target) && Plain(rule.page) &&
            std::all_of(rule.inputs.begin(), rule.inputs.end(), Plain);
  }

  std::string text;
  try {
    text = gridloom::host::DepfileText(rules);
  } catch (const gridloom::host::IoError&) {
    if (plain) Fail("names of path characters refused", "");
    return 0;
  }

  // Each rule: the output, then the page and the data files (a name said twice counts once).
  std::vector<Rule> expected;
  std::vector<std::string> files;  // every data file once
  for (const DepRule& rule : rules) {
    Rule written{{AsMakeNamesIt(rule.target)}, {AsMakeNamesIt(rule.page)}};
    for (const std::string& input : rule.inputs) {
      written.prerequisites.push_back(AsMakeNamesIt(input));
      if (std::find(files.begin(), files.end(), input) == files.end()) files.push_back(input);
    }
    expected.push_back(std::move(written));
  }
  std::optional<std::vector<Rule>> read = ReadMakefile(text);
  if (!read) Fail("make reads the text as more than names", text);
  if (read->size() != expected.size() + files.size()) Fail("not as many rules as written", text);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (Once(expected[i].prerequisites) != Once((*read)[i].prerequisites) ||
        expected[i].targets != (*read)[i].targets) {
      Fail("a rule reads back as other names", text);
    }
  }
  // The empty rules, in any order: one for each data file.
  std::vector<std::string> empty;
  for (auto rule = read->begin() + static_cast<std::ptrdiff_t>(expected.size());
       rule != read->end(); ++rule) {
    if (rule->targets.size() != 1 || !rule->prerequisites.empty())
      Fail("a data file's rule is not one empty rule", text);
    empty.push_back(rule->targets[0]);
  }
  for (std::string& file : files) file = AsMakeNamesIt(file);
  std::sort(empty.begin(), empty.end());
  std::sort(files.begin(), files.end());
  if (empty != files) Fail("the data files' rules name other files", text);
  return 0;
}

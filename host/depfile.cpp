#include "depfile.h"

#include <algorithm>
#include <set>
#include <string_view>

#include "text_io.h"

namespace gridloom::host {

namespace {

// A name as GNU make and ninja both read it back (each rule tried with make 4.3 and ninja
// 1.11): a space or # after n backslashes is written after 2n+1 of them, a colon after one,
// a dollar sign doubled. Whatever make or ninja reads otherwise, however escaped, cannot be
// written: ninja ends a name at a control character or any of &'"<>^`;|*? and keeps the
// backslash of an escape other than the above; make takes = for a variable, [ * ? for a
// wildcard, ~ at the start (after any "./") for a home folder, NAME(MEMBER) for a member of
// an archive (and a name that ends in ")" for the end of a list of them), % in a target for
// a pattern, and a backslash at the end, or before # or :, for an escape of what follows;
// and make drops a space at the end of a name.
std::string MakeName(const std::string& name, bool target) {
  const auto refuse = [&name](const std::string& why) {
    throw IoError("cannot write the name " + name + " in a depfile: " + why);
  };
  if (name.find_first_of("\n\r") != std::string::npos) refuse("it holds a line break");
  if (name.find('\t') != std::string::npos) refuse("it holds a tab");
  // make passes over a vertical tab or form feed at either end of a name as white space, and
  // ninja ends a name at any control character.
  const auto control = [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
  };
  if (std::any_of(name.begin(), name.end(), control)) refuse("it holds a control character");
  // make drops the blanks at the end of a line and before a line's continuation, escaped or
  // not.
  if (name.ends_with(' ')) refuse("make drops a space at the end of a name");
  const std::size_t bad = name.find_first_of("=&'\"<>^`;|*?[");
  if (bad != std::string::npos) {
    refuse(std::string("make and ninja cannot both read the character ") + name[bad]);
  }
  if (target && name.find('%') != std::string::npos) {
    refuse("make reads % in a target as a pattern");
  }
  // After "NAME(MEMBER", a later name of the rule that ends in ")" closes a list of members
  // "NAME(M1 M2 ...)", whatever escapes the blanks between them.
  if (name.ends_with(')')) {
    refuse("make reads NAME(MEMBER) as a member of an archive, and a name that ends in ) as the "
           "end of a list of them");
  }
  if (name.ends_with('\\') || name.find("\\#") != std::string::npos ||
      name.find("\\:") != std::string::npos) {
    refuse("make and ninja read a backslash at its end, or before # or :, as an escape");
  }
  // make takes "./" off the start of a name before it looks for a home folder.
  std::string_view bare = name;
  while (bare.size() > 2 && bare.starts_with("./")) {
    bare.remove_prefix(std::min(bare.find_first_not_of('/', 2), bare.size()));
  }
  if (bare.starts_with('~')) refuse("make reads ~ at the start of a name as a home folder");
  std::string escaped;
  std::size_t backslashes = 0;
  for (char c : name) {
    if (c == ' ' || c == '#') {
      escaped.append(backslashes + 1, '\\');
    } else if (c == ':') {
      escaped += '\\';
    } else if (c == '$') {
      escaped += '$';
    }
    backslashes = c == '\\' ? backslashes + 1 : 0;
    escaped += c;
  }
  return escaped;
}

}  // namespace

std::string DepfileText(const std::vector<DepRule>& rules) {
  std::string text;
  std::set<std::string> phony;
  for (const DepRule& rule : rules) {
    text += MakeName(rule.target, true) + ": " + MakeName(rule.page, false);
    std::set<std::string> listed;
    for (const std::string& input : rule.inputs) {
      if (!listed.insert(input).second) continue;
      text += " \\\n  " + MakeName(input, false);
      phony.insert(input);
    }
    text += '\n';
  }
  // A data file is the target of its empty rule: make would read a "%" there as a pattern
  // (and ninja reads no escape of it), so such a name cannot be written.
  for (const std::string& input : phony) text += "\n" + MakeName(input, true) + ":\n";
  return text;
}

}  // namespace gridloom::host

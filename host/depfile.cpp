#include "depfile.h"

#include <set>

#include "text_io.h"

namespace gridloom::host {

namespace {

// A name as GNU make and ninja both read it back (each rule tried with make 4.3 and ninja
// 1.11): a space or # after n backslashes is written after 2n+1 of them, a colon after one,
// a dollar sign doubled, and a name that starts with ~ (make's home folder) after "./".
// Whatever make or ninja reads otherwise, however escaped, cannot be written: ninja ends a
// name at any of &'"<>^`;|*? and keeps the backslash of an escape other than the above;
// make takes = for a variable, [ * ? for a wildcard, NAME(MEMBER) for a member of an
// archive, % in a target for a pattern, and a backslash at the end, or before # or :, for
// an escape of what follows.
std::string MakeName(const std::string& name, bool target) {
  const auto refuse = [&name](const std::string& why) {
    throw IoError("cannot write the name " + name + " in a depfile: " + why);
  };
  if (name.find_first_of("\n\r") != std::string::npos) refuse("it holds a line break");
  if (name.find('\t') != std::string::npos) refuse("it holds a tab");
  const std::size_t bad = name.find_first_of("=&'\"<>^`;|*?[");
  if (bad != std::string::npos) {
    refuse(std::string("make and ninja cannot both read the character ") + name[bad]);
  }
  if (target && name.find('%') != std::string::npos) {
    refuse("make reads % in a target as a pattern");
  }
  if (name.ends_with(')') && name.find('(') != std::string::npos) {
    refuse("make reads NAME(MEMBER) as a member of an archive");
  }
  if (name.ends_with('\\') || name.find("\\#") != std::string::npos ||
      name.find("\\:") != std::string::npos) {
    refuse("make and ninja read a backslash at its end, or before # or :, as an escape");
  }
  std::string escaped = name.starts_with('~') ? "./" : "";
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
  for (const std::string& input : phony) text += "\n" + MakeName(input, false) + ":\n";
  return text;
}

}  // namespace gridloom::host

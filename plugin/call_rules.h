// The rules of one inline call, which the plug-in follows and a host must know to explain
// what a call came to: how the argument text splits into names, how a name joins the base
// folder, which names are devices rather than files, and the comment that stands in for a
// table. The plug-in takes them from here, and so does the command: one copy of each rule.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace gridloom::call {

// "<!-- 作成できませんでした -->" (the table could not be made): what the plug-in answers
// for a CSV file it cannot open or make a table of.
inline constexpr std::u16string_view kFailureComment =
    u"<!-- \u4F5C\u6210\u3067\u304D\u307E\u305B\u3093\u3067\u3057\u305F -->";

// Field index of an argument text, split by the CSV rules: 0 names the CSV file, 1 the INI
// file. The text ends at its first NUL, as the plug-in is given a C string.
std::string ArgumentField(std::string_view argText, unsigned index);

// Argument text that names the files as given: each quoted, quotes doubled.
std::string ArgumentText(const std::vector<std::string>& names);

// The ANSI path of a name given relative to the base folder: the base, a backslash, the name
// (an empty base makes the name absolute, from the root of the base's drive).
std::string Join(std::string_view base, std::string_view name);

// The files of a call: the names as written and the ANSI paths the plug-in opens. An INI
// name that is empty names no INI file (the default tags).
struct Files {
  std::string csvName, iniName;
  std::string csv, ini;
};
Files FilesOf(std::string_view argText, std::string_view base);

// Whether the last part of an ANSI path is a device name of Windows (CON, NUL, COM1, with
// any extension, in any case): never a table.
bool IsDeviceName(std::string_view ansiPath);

}  // namespace gridloom::call

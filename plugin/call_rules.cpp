#include "plugin/call_rules.h"

#include "csvreader/Csvreader.h"
#include "gridloom/input_file.h"

namespace gridloom::call {

// Read as the C string the plug-in is given: the text ends at its first NUL.
std::string ArgumentField(std::string_view argText, unsigned index) {
  return CSVReader(std::string(argText).c_str()).GetField(index);
}

std::string ArgumentText(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    if (!text.empty()) text += ',';
    text += '"';
    for (char c : name) {
      if (c == '"') text += '"';
      text += c;
    }
    text += '"';
  }
  return text;
}

std::string Join(std::string_view base, std::string_view name) {
  std::string path;
  path.reserve(base.size() + 1 + name.size());
  path.append(base).append(1, '\\').append(name);
  return path;
}

Files FilesOf(std::string_view argText, std::string_view base) {
  const CSVReader arguments(std::string(argText).c_str());
  Files files{arguments.GetField(0), arguments.GetField(1), {}, {}};
  files.csv = Join(base, files.csvName);
  files.ini = Join(base, files.iniName);
  return files;
}

bool IsDeviceName(std::string_view ansiPath) { return gridloom::IsDeviceName(ansiPath); }

}  // namespace gridloom::call

#include "commands/one_call.h"

#include "plugin/call_rules.h"
#include "report.h"

namespace gridloom::host {

int RunOneCall(const Context& context, const std::string& ansiArgs, const std::string& ansiBase,
               const std::string& csvShown, const std::string& iniShown,
               const std::optional<std::string>& output) {
  const call::Files files = call::FilesOf(ansiArgs, ansiBase);
  const std::string iniProblem = IniProblem(files, iniShown);
  if (!iniProblem.empty()) Error(iniProblem);
  const WideText html = context.LoadedPlugin().InlineText(ansiArgs, ansiBase);
  const bool created = html.View() != call::kFailureComment;
  if (!created) Error(CsvProblem(files, csvShown));
  if (output) {
    // Written in pieces, so that no UTF-8 copy of the whole table is made.
    const std::u16string_view text = html.View();
    WriteFileAtomic(*output, [text](int fd) { return WriteUtf8(fd, text); });
  } else if (!PrintUtf8(html.View())) {
    return kIoFailure;
  }
  const bool strictFailure = context.options.strict && !iniProblem.empty();
  return !created || strictFailure ? kNoTable : kOk;
}

}  // namespace gridloom::host

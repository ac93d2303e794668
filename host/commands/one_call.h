// What render and inline share: one call of the plug-in with the checks of its INI file and
// of its outcome, and the table written out.
#pragma once

#include <optional>
#include <string>

#include "cli.h"

namespace gridloom::host {

// Calls the plug-in with argument text and base directory in the ANSI code page; reports an
// INI file it cannot read and a CSV file it cannot open (csvShown, iniShown: the names in
// messages), writes the table as UTF-8 to output or standard output, and answers the exit
// status.
int RunOneCall(const Context& context, const std::string& ansiArgs, const std::string& ansiBase,
               const std::string& csvShown, const std::string& iniShown,
               const std::optional<std::string>& output);

}  // namespace gridloom::host

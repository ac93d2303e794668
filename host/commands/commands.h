// The subcommands, in the order of the help. A new subcommand is a file of this folder that
// defines Make<Name>Command(), and its line here.
#pragma once

#include <memory>

#include "cli.h"

#define GRIDLOOM_COMMANDS(X) \
  X(Render)                  \
  X(Inline)                  \
  X(Expand)                  \
  X(Check)                   \
  X(Serve)                   \
  X(Info)

namespace gridloom::host {

#define GRIDLOOM_DECLARE_COMMAND(name) std::unique_ptr<Command> Make##name##Command();
GRIDLOOM_COMMANDS(GRIDLOOM_DECLARE_COMMAND)
#undef GRIDLOOM_DECLARE_COMMAND

}  // namespace gridloom::host

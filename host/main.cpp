// gridloom: the command-line host of the plug-in. The command line is read in cli.cpp; each
// subcommand (render, inline, expand, check, serve, info) is a file of commands/.
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "report.h"
#include "text_io.h"

namespace fs = std::filesystem;
using namespace gridloom::host;

int main(int argc, char** argv) {
  PrepareProcess();
  // No input ends in an abort: whatever escapes is a message and an exit status.
  try {
    return RunCommandLine(Arguments(argc, argv));
  } catch (const UsageError& e) {
    Error(e.what());
    return kUsage;
  } catch (const fs::filesystem_error& e) {
    Error(e.code().message() + (e.path1().empty() ? "" : ": " + PathText(e.path1())) + " (" +
          e.what() + ")");
  } catch (const std::bad_alloc&) {
    Error("out of memory");
  } catch (const std::exception& e) {
    Error(e.what());
  }
  return kIoFailure;
}

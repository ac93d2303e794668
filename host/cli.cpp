#include "cli.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iostream>

#include "base/parallel.h"
#include "commands/commands.h"
#include "gridloom/winapi.h"
#include "report.h"

namespace gridloom::host {

namespace fs = std::filesystem;

namespace {

// Help and version texts go through CLI11 to std::cout; a write that fails (a full disk,
// a closed pipe) is an error like any other.
int ExitAfterPrinting(CLI::App& app, const CLI::Error& e) {
  const int status = app.exit(e);
  std::cout.flush();
  if (!std::cout || std::fflush(stdout) != 0 || std::ferror(stdout)) {
    Printed(errno != 0 ? errno : EIO);
    return kIoFailure;
  }
  return status;
}

// The options before the subcommand.
void DefineOptions(CLI::App& app, Options& options) {
  app.add_option("--plugin", options.pluginPath,
                 "The plug-in library to load (default: the one built or installed with this "
                 "program)");
  app.add_option("--codepage", options.codePage,
                 kAnsiNames ? "ANSI code page of CSV and INI files: the system's, " +
                                  AcceptedCodePages() + ", and no other on Windows"
                            : "ANSI code page of CSV and INI files: " + AcceptedCodePages() +
                                  " (932: Shift_JIS, 65001: UTF-8)")
      ->capture_default_str();
  app.add_option("--page-encoding", options.pageEncoding,
                 "Encoding of pages, such as UTF-8, Shift_JIS or UTF-16LE (an iconv name; on "
                 "Windows, a code page's name)")
      ->capture_default_str();
}

// Parses; nothing when the subcommand is to run, else the exit status (help, version, a
// command line that is wrong).
std::optional<int> Parse(CLI::App& app, std::vector<std::string>& arguments) {
  try {
    std::reverse(arguments.begin(), arguments.end());  // CLI11 takes them last first
    if (!arguments.empty()) arguments.pop_back();       // the program's name
    app.parse(arguments);
  } catch (const CLI::CallForHelp& e) {
    return ExitAfterPrinting(app, e);
  } catch (const CLI::CallForAllHelp& e) {
    return ExitAfterPrinting(app, e);
  } catch (const CLI::CallForVersion& e) {
    return ExitAfterPrinting(app, e);
  } catch (const CLI::ParseError& e) {
    const std::vector<std::string> extra = app.remaining();
    if (!app.get_subcommands().empty() || extra.empty()) {
      Error(std::string(e.what()) + kSeeHelp);
    } else {
      Error("unknown command " + extra.front() + kSeeHelp);
    }
    return kUsage;
  }
  return std::nullopt;
}

}  // namespace

const char* const kExitStatuses =
    "Exit status: 0 done; 1 a call gave no table (or, with --strict, an INI file could not be "
    "read); 2 the command line is wrong, or an output is one of the inputs; 3 a file could "
    "not be read or written.";

int RunCommandLine(std::vector<std::string> arguments) {
  CLI::App app{"gridloom: turns CSV files into HTML tables through the gridloom plug-in.",
               "gridloom"};
  app.set_version_flag("--version", "gridloom " GRIDLOOM_VERSION_TEXT);
  app.allow_windows_style_options(false);  // /path is a name on Windows too, never an option
  app.require_subcommand(1);
  app.fallthrough();
  app.footer(std::string("Example:\n  gridloom check site\n  gridloom expand site --out-dir "
                         "public\n\n") +
             kExitStatuses);
  Context context;
  context.options.codePage = kAnsiNames ? CodePages().front() : 932;
  context.options.jobs = std::clamp(gridloom::Cores(), 1u, 1024u);
  DefineOptions(app, context.options);

  std::vector<std::pair<std::unique_ptr<Command>, CLI::App*>> commands;
#define GRIDLOOM_DEFINE_COMMAND(name) commands.emplace_back(Make##name##Command(), nullptr);
  GRIDLOOM_COMMANDS(GRIDLOOM_DEFINE_COMMAND)
#undef GRIDLOOM_DEFINE_COMMAND
  for (auto& [command, defined] : commands) defined = command->Define(app, context.options);

  if (const std::optional<int> status = Parse(app, arguments)) return *status;
  const auto chosen = std::find_if(commands.begin(), commands.end(),
                                   [](const auto& command) { return command.second->parsed(); });
  try {
    if (chosen == commands.end()) throw UsageError(std::string("no command given") + kSeeHelp);
    chosen->first->Check();
    context.Prepare();
    return chosen->first->Run(context);
  } catch (const UsageError& e) {
    Error(e.what());
    return kUsage;
  } catch (const IoError& e) {  // a plug-in that cannot be loaded too
    Error(e.what());
    return kIoFailure;
  }
}

void Context::Prepare() {
#ifdef _WIN32
  if (options.codePage != GetACP()) {
    throw UsageError("on Windows the code page is the system's, " + std::to_string(GetACP()) +
                     "; --codepage " + std::to_string(options.codePage) + " cannot be used");
  }
#else
  if (!GridloomSetACP(options.codePage)) {
    throw UsageError("unsupported code page " + std::to_string(options.codePage) +
                     "; the code pages are " + AcceptedCodePages());
  }
#endif
  encodings_ = {PageCharset(options.pageEncoding), CodePageCharset(options.codePage),
                options.codePage, options.pageEncoding};
  // The command line is UTF-8 on POSIX; on Windows it comes in the ANSI code page.
  try {
    toAnsi_ = std::make_unique<Recoder>(kAnsiNames ? encodings_.ansi : "UTF-8", encodings_.ansi);
    Recoder pages(encodings_.page, encodings_.ansi);
  } catch (const std::invalid_argument& e) {
    throw UsageError(e.what());
  }
  InstallSignalCleanup(options.jobs + 4);
  plugin_ = std::make_unique<Plugin>(PluginPath());
}

InlineFunction Context::Call() const {
  const Plugin& loaded = *plugin_;
  return [&loaded](const std::string& args, const std::string& base) {
    return loaded.InlineText(args, base);
  };
}

std::string Context::Ansi(const std::string& text, const std::string& what) const {
  std::optional<std::string> converted = toAnsi_->Convert(text);
  if (!converted) {
    throw UsageError(what + " " + text + " cannot be written in code page " +
                     std::to_string(options.codePage) + kWiderCodePageHint);
  }
  return std::move(*converted);
}

fs::path Context::PluginPath() const {
  return options.pluginPath.empty()
             ? BesideProgram(GRIDLOOM_PLUGIN_BUILD_PATH, GRIDLOOM_PLUGIN_INSTALL_PATH)
             : fs::path(options.pluginPath);
}

const CLI::Validator& JobsValidator() {
  static const CLI::Validator validator(
      [](std::string& text) -> std::string {
        const bool digits = !text.empty() && text.size() <= 4 &&
                            std::all_of(text.begin(), text.end(),
                                        [](char c) { return c >= '0' && c <= '9'; });
        const int value = digits ? std::stoi(text) : 0;
        if (value >= 1 && value <= 1024) return "";
        return "the number of jobs is a whole number from 1 to 1024, not " + text;
      },
      "1 to 1024");
  return validator;
}

void AddStrictFlag(CLI::App& command, Options& options, const std::string& when) {
  command.add_flag("--strict", options.strict, "Exit with status 1 when " + when);
}

void RequireName(bool empty, const std::string& what) {
  if (empty) throw UsageError(what + " is empty" + kSeeHelp);
}

void RequireWritable(const std::optional<std::string>& output) {
  if (!output) return;
  if (const std::string why = UnwritableOutput(*output); !why.empty()) {
    throw UsageError("cannot write " + Slashed(*output) + ": " + why);
  }
}

fs::path BesideProgram(const char* build, const char* install) {
  std::error_code error;
  const fs::path self = ExecutableFile();
  if (self.empty()) return build;
  const fs::path built = self.parent_path() / build;
  if (fs::exists(built, error)) return built.lexically_normal();
  const fs::path installed = self.parent_path() / install;
  for (fs::path candidate : {installed, fs::path(installed).concat(".0")}) {
    if (fs::exists(candidate, error)) return candidate.lexically_normal();
  }
  return built.lexically_normal();
}

#ifdef _WIN32
// The ANSI code page is the system's: the plug-in reads names in it, and so does the command.
std::vector<unsigned> CodePages() { return {GetACP()}; }
#else
std::vector<unsigned> CodePages() {
  std::vector<UINT> pages(GridloomAcceptedCodePages(nullptr, 0));
  GridloomAcceptedCodePages(pages.data(), static_cast<UINT>(pages.size()));
  return {pages.begin(), pages.end()};
}
#endif

std::string AcceptedCodePages() {
  const std::vector<unsigned> pages = CodePages();
  std::string list;
  for (std::size_t i = 0; i < pages.size(); ++i) {
    if (i > 0) list += i + 1 == pages.size() ? " and " : ", ";
    list += std::to_string(pages[i]);
  }
  return list;
}

}  // namespace gridloom::host

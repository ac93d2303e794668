// The command line: the options all subcommands share, what a subcommand is, and what it runs
// against. Each subcommand is a file of commands/ that registers its own options and help.
#pragma once

#include <CLI/CLI.hpp>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "page.h"
#include "plugin_loader.h"
#include "text_io.h"

namespace gridloom::host {

// The options before the subcommand, and those several subcommands share.
struct Options {
  std::string pluginPath;
  unsigned codePage = 932;
  std::string pageEncoding = "UTF-8";
  bool strict = false;
  unsigned jobs = 1;  // pages at once
};

// What a subcommand runs against: the options, and once they are checked the encodings and
// the plug-in.
class Context {
 public:
  Options options;

  // Sets the code page, checks the encodings, installs the signal handlers that remove
  // temporary files, and loads the plug-in. Throws UsageError, or PluginError.
  void Prepare();

  const Encodings& PageEncodings() const { return encodings_; }
  const Plugin& LoadedPlugin() const { return *plugin_; }
  // The plug-in's inline call, as the pages' expanders take it.
  InlineFunction Call() const;
  // Names and texts of the command line in the ANSI code page; throws UsageError naming what
  // when the code page cannot write them.
  std::string Ansi(const std::string& text, const std::string& what) const;
  // The plug-in's file: --plugin, or the one beside this program.
  std::filesystem::path PluginPath() const;

 private:
  Encodings encodings_;
  std::unique_ptr<Recoder> toAnsi_;  // the command line's names to the ANSI code page
  std::unique_ptr<Plugin> plugin_;
};

// A subcommand.
class Command {
 public:
  virtual ~Command() = default;
  // Adds the subcommand with its options and help to app; answers it.
  virtual CLI::App* Define(CLI::App& app, Options& options) = 0;
  // What the command line alone shows to be wrong, before anything is opened: throws
  // UsageError.
  virtual void Check() const {}
  // Runs the command; answers the exit status. What fails may be thrown: IoError,
  // UsageError, PluginError.
  virtual int Run(Context& context) = 0;
};

// Parses the command line (without the program's name) and runs its subcommand; answers the
// exit status.
int RunCommandLine(std::vector<std::string> arguments);

// What the subcommands' definitions share.
extern const char* const kExitStatuses;  // the help's last paragraph
const CLI::Validator& JobsValidator();   // -j: 1 to 1024
void AddStrictFlag(CLI::App& command, Options& options, const std::string& when);
// Throws UsageError "WHAT is empty (see gridloom --help)" when empty: an empty name names no
// file, and a later step would take it for the working folder.
void RequireName(bool empty, const std::string& what);
// Throws UsageError for an output that is no file (a device of Windows), named as given.
void RequireWritable(const std::optional<std::string>& output);

// A library beside this binary: where the build tree puts it, or where it is installed
// (also as name.0, the versioned file, when only that is there).
std::filesystem::path BesideProgram(const char* build, const char* install);

// The code pages the plug-in's platform takes, and the same as "932, 1252 and 65001".
std::vector<unsigned> CodePages();
std::string AcceptedCodePages();

}  // namespace gridloom::host

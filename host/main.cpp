// gridloom: the command-line host of the plug-in. Parses the command line, loads the
// plug-in at run time and runs one of render, inline, expand, check, serve and info.
#include <strings.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/parallel.h"
#include "expand.h"
#include "serve.h"
#include "gridloom/native_path.h"
#include "gridloom/winapi.h"
#include "inline_scan.h"
#include "plugin_loader.h"
#include "text_io.h"

namespace fs = std::filesystem;
using namespace gridloom::host;

namespace {

#ifdef _WIN32
// The ANSI code page is the system's: the plug-in reads names in it, and so does the command.
std::vector<UINT> CodePages() { return {GetACP()}; }
#else
std::vector<UINT> CodePages() {
  std::vector<UINT> pages(GridloomAcceptedCodePages(nullptr, 0));
  GridloomAcceptedCodePages(pages.data(), static_cast<UINT>(pages.size()));
  return pages;
}
#endif

// The code pages the plug-in's platform takes, as "932, 1252 and 65001".
std::string AcceptedCodePages() {
  const std::vector<UINT> pages = CodePages();
  std::string list;
  for (std::size_t i = 0; i < pages.size(); ++i) {
    if (i > 0) list += i + 1 == pages.size() ? " and " : ", ";
    list += std::to_string(pages[i]);
  }
  return list;
}

// A library beside this binary: where the build tree puts it, or where it is installed
// (also as name.0, the versioned file, when only that is there).
fs::path DefaultPath(const char* build, const char* install) {
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

// The plug-in beside this binary.
fs::path DefaultPluginPath() {
  return DefaultPath(GRIDLOOM_PLUGIN_BUILD_PATH, GRIDLOOM_PLUGIN_INSTALL_PATH);
}

// Pages called Shift_JIS are Windows code page 932 (backslash and tilde at 5C and 7E, the
// NEC and IBM extensions); glibc's SHIFT_JIS is the JIS X 0208 one, without them.
std::string PageCharset(const std::string& name) {
  for (const char* alias : {"Shift_JIS", "Shift-JIS", "SJIS", "MS_Kanji", "csShiftJIS"}) {
    if (strcasecmp(name.c_str(), alias) == 0) return "CP932";
  }
  return name;
}

std::string Utf8(std::u16string_view text) { return WideEncoder("UTF-8").Encode(text); }

// A file of a call as people read it: the base directory, then the name with slashes.
std::string Shown(const std::string& base, const std::string& name) {
  return base == "." ? Slashed(name) : base + "/" + Slashed(name);
}

// Writes bytes to standard output; false after reporting a failure.
bool WriteStandardOutput(std::string_view data) {
  std::fflush(stdout);
  if (const int error = WriteText(kStandardOutput, data, 65001)) {
    Error("cannot write standard output: " + Reason(error));
    return false;
  }
  return true;
}

// A table as UTF-8, written in pieces to FILE or standard output (as characters to a Windows
// console).
bool WriteOutput(const std::optional<std::string>& file, std::u16string_view html) {
  if (file) {
    try {
      WriteFileAtomic(*file, [html](int fd) { return WriteUtf8(fd, html); });
    } catch (const IoError& e) {
      Error(e.what());
      return false;
    }
    return true;
  }
  std::fflush(stdout);
  if (const int error = WriteUtf8(kStandardOutput, html)) {
    Error("cannot write standard output: " + Reason(error));
    return false;
  }
  return true;
}

// Help and version texts go through CLI11 to std::cout; a write that fails (a full disk,
// a closed pipe) is an error like any other.
int ExitAfterPrinting(CLI::App& app, const CLI::Error& e) {
  const int status = app.exit(e);
  std::cout.flush();
  if (!std::cout || std::fflush(stdout) != 0 || std::ferror(stdout)) {
    const int error = errno;
    Error("cannot write standard output: " + Reason(error != 0 ? error : EIO));
    return kIoFailure;
  }
  return status;
}

constexpr const char* kExitStatuses =
    "Exit status: 0 done; 1 a call gave no table (or, with --strict, an INI file could not be "
    "read); 2 the command line is wrong, or an output is one of the inputs; 3 a file could "
    "not be read or written.";

struct Options {
  std::string pluginPath;
  unsigned codePage = kAnsiNames ? CodePages().front() : 932;
  std::string pageEncoding = "UTF-8";
  bool strict = false;
};

// What render and inline share: the names in the code page, the checks of the INI file and
// of the outcome, and the output.
class OneCall {
 public:
  OneCall(const Plugin& plugin, const Options& options, Recoder& toAnsi)
      : plugin_(plugin), options_(options), toAnsi_(toAnsi) {}

  std::optional<std::string> Ansi(const std::string& text, const std::string& what) {
    std::optional<std::string> converted = toAnsi_.Convert(text);
    if (!converted) {
      Error(what + " " + text + " cannot be written in code page " +
            std::to_string(options_.codePage) + kWiderCodePageHint);
    }
    return converted;
  }

  // Calls the plug-in; reports an INI file it cannot read and a CSV file it cannot open,
  // writes the result, and answers the exit status.
  int Run(const std::string& ansiArgs, const std::string& ansiBase, const std::string& csvShown,
          const std::string& iniShown, const std::optional<std::string>& output) {
    bool iniProblem = false;
    const std::string iniName = ArgumentField(ansiArgs, 1);
    if (!iniName.empty()) {
      const std::string why = Unreadable(ansiBase + '\\' + iniName, false);
      if (!why.empty()) {
        Error("cannot read INI file " + iniShown + ": " + why + "; the default tags are used");
        iniProblem = true;
      }
    }
    const WideText html = plugin_.InlineText(ansiArgs, ansiBase);
    const bool created = html.View() != Plugin::kFailureComment;
    if (!created) {
      const std::string why = Unreadable(ansiBase + '\\' + ArgumentField(ansiArgs, 0), true);
      Error("cannot open CSV file " + csvShown + ": " +
            (why.empty() ? "no table could be made of it" : why));
    }
    if (!WriteOutput(output, html.View())) return kIoFailure;
    return !created || (options_.strict && iniProblem) ? kNoTable : kOk;
  }

 private:
  const Plugin& plugin_;
  const Options& options_;
  Recoder& toAnsi_;
};

}  // namespace

namespace {

int Run(std::vector<std::string> arguments) {
  CLI::App app{"gridloom: turns CSV files into HTML tables through the gridloom plug-in.",
               "gridloom"};
  app.set_version_flag("--version", "gridloom " GRIDLOOM_VERSION);
  app.allow_windows_style_options(false);  // /path is a name on Windows too, never an option
  app.require_subcommand(1);
  app.fallthrough();
  app.footer(std::string("Example:\n  gridloom check site\n  gridloom expand site --out-dir "
                         "public\n\n") +
             kExitStatuses);

  Options options;
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

  const auto jobsValidator = CLI::Validator(
      [](std::string& text) -> std::string {
        const bool digits = !text.empty() && text.size() <= 4 &&
                            std::all_of(text.begin(), text.end(),
                                        [](char c) { return c >= '0' && c <= '9'; });
        const int value = digits ? std::stoi(text) : 0;
        if (value >= 1 && value <= 1024) return "";
        return "the number of jobs is a whole number from 1 to 1024, not " + text;
      },
      "1 to 1024");
  const auto strictFlag = [&options](CLI::App* command, const std::string& what) {
    command->add_flag("--strict", options.strict, "Exit with status 1 when " + what);
  };

  auto* render = app.add_subcommand("render", "Write the HTML table of one CSV file as UTF-8");
  std::string csvFile;
  std::optional<std::string> iniFile, renderOut;
  render->add_option("CSV", csvFile, "The CSV file; - reads it from standard input")->required();
  render->add_option("INI", iniFile, "The INI file with the tags (default tags when left out)");
  render->add_option("-o,--output", renderOut, "Write to this file instead of standard output");
  strictFlag(render, "the INI file cannot be read");
  render->footer(std::string("Example:\n  gridloom render data/prices.csv param.ini -o "
                             "prices.html\n  sort prices.csv | gridloom render - param.ini\n\n") +
                 kExitStatuses);

  auto* inlineCmd = app.add_subcommand("inline", "One call of PluginInline; the result as UTF-8");
  std::string argText;
  std::string baseDir = ".";
  inlineCmd
      ->add_option("ARGTEXT", argText,
                   "The argument text, e.g. '\"t.csv\",\"t.ini\"'; a CSV file named - is read "
                   "from standard input")
      ->required();
  inlineCmd->add_option("--base", baseDir, "The base directory")->capture_default_str();
  strictFlag(inlineCmd, "the INI file cannot be read");
  inlineCmd->footer(std::string("Example:\n  gridloom inline '\"../data/table1.csv\",\"../"
                                "param.ini\"' --base site/pages\n\n") +
                    kExitStatuses);

  auto* expand = app.add_subcommand(
      "expand", "Replace each &gridloom(ARGS) in pages by the table; folders are searched for "
                "*.html and *.htm");
  std::vector<std::string> inputs;
  std::optional<std::string> expandOut, outDir;
  ExpandRequest request;
  request.jobs = std::clamp(gridloom::Cores(), 1u, 1024u);
  expand->add_option("PATH", inputs, "Pages and folders")->required();
  auto* outOption = expand->add_option("-o,--output", expandOut, "Write the one page here");
  expand->add_option("--out-dir", outDir, "Write the pages into this folder, mirroring the input "
                                          "tree; other files are copied with their mode and time")
      ->excludes(outOption);
  expand->add_option("-j,--jobs", request.jobs, "Pages expanded at once (1 to 1024)")
      ->check(jobsValidator)
      ->capture_default_str();
  strictFlag(expand, "a call gives no table, is left as written, or its INI file cannot be read");
  expand->add_flag("-q,--quiet", request.quiet, "No progress line, no summary");
  expand->add_flag("--force", request.force,
                   "With --out-dir: make every output again, even those that are up to date");
  expand->add_flag("--delete", request.deleteStale,
                   "With --out-dir: remove the outputs of pages and files that are gone");
  std::optional<std::string> depfile;
  expand->add_option("--depfile", depfile,
                     "Write the files each output was made from as rules for make and ninja");
  expand->add_flag("--include-hidden", request.includeHidden,
                   "Take names that start with a dot (.git, .env) from folders too; "
                   ".well-known is always taken");
  expand->footer(std::string("With --out-dir, only what changed is made again: a page whose page, "
                             "CSV or INI\nfiles changed, a file that changed. What each output was "
                             "made from is kept beside\nthe folder, in OUT.gridloom-state.\n\n"
                             "Example:\n  gridloom expand site/index.html -o public/index.html\n"
                             "  gridloom expand site --out-dir public --strict\n"
                             "  gridloom expand site/index.html -o public/index.html --depfile "
                             "public/index.html.d\n\n") +
                 kExitStatuses);

  auto* check = app.add_subcommand(
      "check", "Report every call in pages and folders, and each problem, writing nothing");
  std::vector<std::string> checkInputs;
  check->add_option("PATH", checkInputs, "Pages and folders")->required();
  check->add_option("-j,--jobs", request.jobs, "Pages checked at once (1 to 1024)")
      ->check(jobsValidator)
      ->capture_default_str();
  check->add_flag("--include-hidden", request.includeHidden,
                  "Take names that start with a dot from folders too, as expand does with it");
  check->footer(std::string("Example:\n  gridloom check site\n\nExit status: 0 every call is "
                            "fine; 1 a call has a problem; 2 the command line is wrong; 3 a page "
                            "or folder could not be read."));

  auto* serve = app.add_subcommand(
      "serve", "Serve a site over HTTP, each page expanded when it is asked for; an open page "
               "reloads itself when its page, CSV or INI files change");
  ServeRequest serveRequest;
  std::string site;
  serve->add_option("SITE", site, "The folder of the site")->required();
  serve->add_option("--port", serveRequest.port, "The port; 0 takes a free one")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  serve->add_option("--bind", serveRequest.bind,
                    "The address to listen on; another than 127.0.0.1 or ::1 lets other "
                    "machines see the site")
      ->capture_default_str();
  serve->footer(std::string("Pages are served as gridloom expand would write them, with a small "
                            "script that\nreloads them; other files as they are. Nothing outside "
                            "SITE is served, nor\nnames that start with a dot, nor folder "
                            "listings.\n\nExample:\n  gridloom serve site\n  gridloom serve "
                            "site --port 0 --bind ::1\n\nExit status: 0 stopped by Ctrl-C (or "
                            "SIGTERM, SIGHUP); 2 the command line is\nwrong; 3 the site or the "
                            "port cannot be had."));

#ifdef _WIN32
  serve->group("");  // not listed: the Windows build has no server (it says so when asked)
#endif

  auto* info = app.add_subcommand("info", "The plug-in's information exports");
  info->footer("Example:\n  gridloom --plugin ./libgridloom.so info\n\nExit status: 0 done; 3 the "
               "plug-in could not be loaded, or standard output could not be written.");

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
      Error(std::string(e.what()) + " (see gridloom --help)");
    } else {
      Error("unknown command " + extra.front() + " (see gridloom --help)");
    }
    return kUsage;
  }

  // Empty names name no file, and a later step would take them for the working folder.
  const std::pair<bool, const char*> emptyNames[] = {
      {*render && (csvFile.empty() || (iniFile && iniFile->empty())), "render: a file name"},
      {*render && renderOut && renderOut->empty(), "-o: the output's name"},
      {*expand && expandOut && expandOut->empty(), "-o: the output's name"},
      {*expand && outDir && outDir->empty(), "--out-dir: the folder's name"},
      {*expand && depfile && depfile->empty(), "--depfile: the file's name"},
      {*serve && site.empty(), "SITE: a folder's name"},
      {*serve && serveRequest.bind.empty(), "--bind: the address"},
      {std::any_of(inputs.begin(), inputs.end(), [](auto& i) { return i.empty(); }) ||
           std::any_of(checkInputs.begin(), checkInputs.end(), [](auto& i) { return i.empty(); }),
       "PATH: a page's or folder's name"},
  };
  for (const auto& [empty, what] : emptyNames) {
    if (empty) {
      Error(std::string(what) + " is empty (see gridloom --help)");
      return kUsage;
    }
  }
  // Outputs that are no files (a device of Windows), refused before anything is opened.
  for (const std::optional<std::string>* output : {&renderOut, &expandOut, &depfile}) {
    const bool given = (output == &renderOut ? render->parsed() : expand->parsed()) && *output;
    if (!given) continue;
    if (const std::string why = UnwritableOutput(**output); !why.empty()) {
      Error("cannot write " + Slashed(**output) + ": " + why);
      return kUsage;
    }
  }
  const std::pair<bool, const char*> needOutDir[] = {
      {*expand && depfile && !expandOut && !outDir, "--depfile needs -o or --out-dir"},
      {*expand && request.force && !outDir, "--force needs --out-dir"},
      {*expand && request.deleteStale && !outDir, "--delete needs --out-dir"},
  };
  for (const auto& [wrong, what] : needOutDir) {
    if (wrong) {
      Error(std::string(what) + " (see gridloom expand --help)");
      return kUsage;
    }
  }

#ifdef _WIN32
  if (options.codePage != GetACP()) {
    Error("on Windows the code page is the system's, " + std::to_string(GetACP()) +
          "; --codepage " + std::to_string(options.codePage) + " cannot be used");
    return kUsage;
  }
  if (*serve) {
    Error("serve is not part of the Windows build (its HTTP library is not built for Windows); "
          "expand the site with --out-dir and open the pages from there");
    return kUsage;
  }
#else
  if (!GridloomSetACP(options.codePage)) {
    Error("unsupported code page " + std::to_string(options.codePage) + "; the code pages are " +
          AcceptedCodePages());
    return kUsage;
  }
#endif
  Encodings encodings{PageCharset(options.pageEncoding), CodePageCharset(options.codePage),
                      options.codePage, options.pageEncoding};
  // The command line is UTF-8 on POSIX; on Windows it comes in the ANSI code page.
  std::unique_ptr<Recoder> utf8ToAnsi;
  try {
    utf8ToAnsi = std::make_unique<Recoder>(kAnsiNames ? encodings.ansi : "UTF-8", encodings.ansi);
    Recoder pages(encodings.page, encodings.ansi);
  } catch (const std::invalid_argument& e) {
    Error(e.what());
    return kUsage;
  }
  InstallSignalCleanup(request.jobs + 4);

  std::unique_ptr<Plugin> plugin;
  try {
    plugin = std::make_unique<Plugin>(options.pluginPath.empty() ? DefaultPluginPath()
                                                                 : fs::path(options.pluginPath));
  } catch (const PluginError& e) {
    Error(e.what());
    return kIoFailure;
  }

  if (*info) {
    std::string text = "type: " + std::to_string(plugin->Type()) + "\n";
    const std::pair<const char*, PluginText> texts[] = {
        {"name", PluginText::Name},         {"version", PluginText::Version},
        {"author", PluginText::Author},     {"syntax", PluginText::Syntax},
        {"description", PluginText::Description}, {"example", PluginText::Example}};
    for (const auto& [label, which] : texts) {
      text += std::string(label) + ": " + Utf8(plugin->Text(which)) + "\n";
    }
    return WriteStandardOutput(text) ? kOk : kIoFailure;
  }

  OneCall one(*plugin, options, *utf8ToAnsi);
  if (*render) {
    // An output that is one of the inputs would be lost: refused before anything is read.
    if (const std::optional<FileId> out = renderOut ? IdOf(*renderOut) : std::nullopt) {
      for (const std::string* file : {&csvFile, iniFile ? &*iniFile : nullptr}) {
        if (file != nullptr && *file != "-" && IdOf(*file) == out) {
          Error("refusing to write " + *renderOut + ": it is the input " + *file +
                " (the same file); choose another output");
          return kUsage;
        }
      }
    }
    std::vector<std::unique_ptr<TempCopy>> copies;
    std::vector<std::string> paths;
    // Copies lie on the drive of the other file, where there is one.
    const fs::path beside = iniFile && csvFile == "-" ? fs::path(*iniFile).parent_path() : ".";
    for (const std::string* file : {&csvFile, iniFile ? &*iniFile : nullptr}) {
      if (file == nullptr) continue;
      copies.push_back(CopyIfNotRegular(*file, *file, beside.empty() ? "." : beside));
      paths.push_back(copies.back() ? copies.back()->Path() : *file);
    }
    // Names as typed, relative to the working folder; when one is absolute, all are, from
    // the root (the plug-in puts a backslash after the base: "" makes "/" again, and on
    // Windows the base is the drive, "C:").
    const bool absolute = std::any_of(paths.begin(), paths.end(), [](const std::string& p) {
      return fs::path(p).has_root_directory() || fs::path(p).has_root_name();
    });
    std::string base = absolute ? "" : ".";
    std::vector<std::string> names;
    for (const std::string& path : paths) {
      std::string name = path;
      if (absolute) {
        const fs::path full = fs::absolute(path).lexically_normal();
        if (&path != &paths.front() && PathText(full.root_name()) != base) {
          Error("the CSV and INI files must lie on one drive when one is named from the root");
          return kUsage;
        }
        base = PathText(full.root_name());
        name = PathText(full.relative_path());
      }
      const std::optional<std::string> ansi = one.Ansi(name, "file name");
      if (!ansi) return kUsage;
      names.push_back(*ansi);
    }
    return one.Run(ArgumentText(names), base, csvFile,
                   iniFile.value_or(std::string()), renderOut);
  }

  if (*inlineCmd) {
    std::optional<std::string> ansiArgs = one.Ansi(argText, "argument text");
    const std::optional<std::string> ansiBase = one.Ansi(baseDir, "base directory");
    if (!ansiArgs || !ansiBase) return kUsage;
    // A CSV file named - and inputs that are not regular files are copied, and the argument
    // text names the copies, relative to the base directory.
    std::vector<std::unique_ptr<TempCopy>> copies;
    std::vector<std::string> fields = {ArgumentField(*ansiArgs, 0), ArgumentField(*ansiArgs, 1)};
    bool rewritten = false;
    for (std::string& field : fields) {
      if (field.empty()) continue;
      const std::string native = field == "-" && &field == &fields[0]
                                     ? std::string("-")
                                     : gridloom::NativePath(*ansiBase + '\\' + field);
      copies.push_back(CopyIfNotRegular(native, Shown(baseDir, ArgumentField(argText, 0)),
                                        gridloom::NativePath(*ansiBase)));
      if (!copies.back()) continue;
      const fs::path copy = copies.back()->Path();
      field = ansiBase->empty()
                  ? PathText(copy.relative_path())
                  : PathText(copy.lexically_relative(
                        fs::canonical(gridloom::NativePath(*ansiBase))));
      rewritten = true;
    }
    if (rewritten) ansiArgs = ArgumentText(fields);
    return one.Run(*ansiArgs, *ansiBase, Shown(baseDir, ArgumentField(argText, 0)),
                   Shown(baseDir, ArgumentField(argText, 1)), std::nullopt);
  }

  const Plugin& loaded = *plugin;
  const InlineFunction call = [&loaded](const std::string& args, const std::string& base) {
    return loaded.Inline(args, base);
  };
#ifndef _WIN32
  if (*serve) {
    serveRequest.site = site;
    const fs::path module = DefaultPath(GRIDLOOM_SERVE_BUILD_PATH, GRIDLOOM_SERVE_INSTALL_PATH);
    std::string why;
    void* library = OpenLibrary(module, why);
    const auto run = library != nullptr
                         ? reinterpret_cast<GridloomServeFn*>(FindExport(library, kServeExport))
                         : nullptr;
    if (run == nullptr) {
      Error("serve: cannot load " + PathText(module) + ": " +
            (library ? "it lacks " + std::string(kServeExport) : why));
      return kIoFailure;
    }
    const int status = run(&call, &encodings, &serveRequest);
    CloseLibrary(library);
    return status;
  }

#endif

  for (const std::string& input : *expand ? inputs : checkInputs) request.inputs.emplace_back(input);
  if (expandOut) request.outFile = *expandOut;
  if (outDir) request.outDir = *outDir;
  if (depfile) request.depfile = *depfile;
  const fs::path pluginPath =
      options.pluginPath.empty() ? DefaultPluginPath() : fs::path(options.pluginPath);
  std::error_code noFolder;
  request.buildKey = "gridloom " GRIDLOOM_VERSION "\nfolder " +
                     PathText(fs::current_path(noFolder)) + "\ncode page " +
                     std::to_string(options.codePage) + "\npages " + options.pageEncoding +
                     "\nplug-in " + PathText(fs::absolute(pluginPath, noFolder)) + " " +
                     StampOf(pluginPath, false).Text();
  request.strict = options.strict;
  request.check = check->parsed();
  return ExpandPages(call, encodings, request);
}

}  // namespace

int main(int argc, char** argv) {
  PrepareProcess();
  // No input ends in an abort: whatever escapes is a message and an exit status.
  try {
    std::string bad;
    std::optional<std::vector<std::string>> arguments = Arguments(argc, argv, bad);
    if (!arguments) {
      Error("the argument " + bad + " cannot be written in code page " +
            std::to_string(CodePages().front()) + ", the system's ANSI code page");
      return kUsage;
    }
    return Run(std::move(*arguments));
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

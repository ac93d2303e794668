// gridloom: the command-line host of the plug-in. Parses the command line, loads the
// plug-in at run time and runs one of render, inline, expand and info.
#include <strings.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "expand.h"
#include "gridloom/winapi.h"
#include "inline_scan.h"
#include "plugin_loader.h"
#include "text_io.h"

namespace fs = std::filesystem;
using namespace gridloom::host;

namespace {

void Error(const std::string& message) { std::fprintf(stderr, "gridloom: %s\n", message.c_str()); }

// The code pages the plug-in's platform takes, as "932, 1252 and 65001".
std::string AcceptedCodePages() {
  std::vector<UINT> pages(GridloomAcceptedCodePages(nullptr, 0));
  GridloomAcceptedCodePages(pages.data(), static_cast<UINT>(pages.size()));
  std::string list;
  for (std::size_t i = 0; i < pages.size(); ++i) {
    if (i > 0) list += i + 1 == pages.size() ? " and " : ", ";
    list += std::to_string(pages[i]);
  }
  return list;
}

// The plug-in beside this binary: in the build tree, or installed.
std::string DefaultPluginPath() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (error) return GRIDLOOM_PLUGIN_BUILD_PATH;
  const fs::path build = self.parent_path() / GRIDLOOM_PLUGIN_BUILD_PATH;
  if (fs::exists(build, error)) return build.lexically_normal().string();
  const fs::path installed = self.parent_path() / GRIDLOOM_PLUGIN_INSTALL_PATH;
  for (const fs::path& candidate : {installed, fs::path(installed.string() + ".0")}) {
    if (fs::exists(candidate, error)) return candidate.lexically_normal().string();
  }
  return build.lexically_normal().string();
}

bool WriteOutput(const std::optional<std::string>& file, const std::string& data) {
  if (file) {
    try {
      WriteFileAtomic(*file, data);
    } catch (const IoError& e) {
      Error(e.what());
      return false;
    }
    return true;
  }
  if (std::fwrite(data.data(), 1, data.size(), stdout) != data.size() || std::fflush(stdout) != 0) {
    Error("cannot write standard output");
    return false;
  }
  return true;
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

// A table as UTF-8, written in pieces to FILE or standard output.
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
  if (std::fflush(stdout) != 0 || WriteUtf8(STDOUT_FILENO, html) != 0) {
    Error("cannot write standard output");
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"gridloom: turns CSV files into HTML tables through the gridloom plug-in.",
               "gridloom"};
  app.set_version_flag("--version", "gridloom " GRIDLOOM_VERSION);
  app.require_subcommand(1);
  app.fallthrough();

  std::string pluginPath;
  unsigned codePage = 932;
  std::string pageEncoding = "UTF-8";
  app.add_option("--plugin", pluginPath, "The plug-in library to load (default: the one built or "
                                         "installed with this program)");
  app.add_option("--codepage", codePage,
                 "ANSI code page of CSV and INI files: " + AcceptedCodePages() +
                     " (932: Shift_JIS, 65001: UTF-8)")
      ->capture_default_str();
  app.add_option("--page-encoding", pageEncoding,
                 "Encoding of pages, an iconv name such as UTF-8 or Shift_JIS")
      ->capture_default_str();

  auto* render = app.add_subcommand("render", "Write the HTML table of one CSV file as UTF-8");
  std::string csvFile;
  std::optional<std::string> iniFile, renderOut;
  render->add_option("CSV", csvFile, "The CSV file")->required();
  render->add_option("INI", iniFile, "The INI file with the tags (default tags when left out)");
  render->add_option("-o,--output", renderOut, "Write to this file instead of standard output");

  auto* inlineCmd = app.add_subcommand("inline", "One call of PluginInline; the result as UTF-8");
  std::string argText;
  std::string baseDir = ".";
  inlineCmd->add_option("ARGTEXT", argText, "The argument text, e.g. '\"t.csv\",\"t.ini\"'")
      ->required();
  inlineCmd->add_option("--base", baseDir, "The base directory")->capture_default_str();

  auto* expand = app.add_subcommand(
      "expand", "Replace each &gridloom(ARGS) in pages by the table; folders are searched for "
                "*.html and *.htm");
  std::vector<std::string> inputs;
  std::optional<std::string> expandOut, outDir;
  ExpandRequest request;
  request.jobs = std::max(1u, std::thread::hardware_concurrency());
  expand->add_option("PATH", inputs, "Pages and folders")->required();
  auto* outOption = expand->add_option("-o,--output", expandOut, "Write the one page here");
  expand->add_option("--out-dir", outDir, "Write the pages into this folder, mirroring the input "
                                          "tree; other files are copied")
      ->excludes(outOption);
  expand->add_option("-j,--jobs", request.jobs, "Pages expanded at once")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  expand->add_flag("--strict", request.strict,
                   "Exit with status 1 when a call gives no table or is left as written");
  expand->add_flag("-q,--quiet", request.quiet, "No progress line");

  auto* info = app.add_subcommand("info", "The plug-in's information exports");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    const std::vector<std::string> extra = app.remaining();
    if (!app.get_subcommands().empty() || extra.empty()) {
      Error(std::string(e.what()) + " (see gridloom --help)");
    } else {
      Error("unknown command " + extra.front() + " (see gridloom --help)");
    }
    return kUsage;
  }

  if (!GridloomSetACP(codePage)) {
    Error("unsupported code page " + std::to_string(codePage) + "; the code pages are " +
          AcceptedCodePages());
    return kUsage;
  }
  Encodings encodings{PageCharset(pageEncoding), CodePageCharset(codePage), codePage};
  std::unique_ptr<Recoder> utf8ToAnsi;
  try {
    utf8ToAnsi = std::make_unique<Recoder>("UTF-8", encodings.ansi);
    Recoder check(encodings.page, encodings.ansi);
  } catch (const std::invalid_argument& e) {
    Error(e.what());
    return kUsage;
  }
  const auto toAnsi = [&](const std::string& text, const char* what) {
    std::optional<std::string> converted = utf8ToAnsi->Convert(text);
    if (!converted) {
      Error(std::string(what) + " " + text + " cannot be written in code page " +
            std::to_string(codePage));
    }
    return converted;
  };

  std::unique_ptr<Plugin> plugin;
  try {
    plugin = std::make_unique<Plugin>(pluginPath.empty() ? DefaultPluginPath() : pluginPath);
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
    return WriteOutput(std::nullopt, text) ? kOk : kIoFailure;
  }

  if (*render) {
    // Absolute paths, named from the root: the plug-in puts the base "" and a backslash
    // before each, which makes "/" again.
    std::vector<std::string> names;
    for (const std::string* file : {&csvFile, iniFile ? &*iniFile : nullptr}) {
      if (file == nullptr) continue;
      const std::string absolute = fs::absolute(*file).lexically_normal().string();
      const std::optional<std::string> name = toAnsi(absolute.substr(1), "file name");
      if (!name) return kUsage;
      names.push_back(*name);
    }
    const WideText html = plugin->InlineText(ArgumentText(names), "");
    const bool created = html.View() != Plugin::kFailureComment;
    if (!created) Error("cannot open CSV file " + csvFile);
    if (!WriteOutput(renderOut, html.View())) return kIoFailure;
    return created ? kOk : kNoTable;
  }

  if (*inlineCmd) {
    const std::optional<std::string> ansiArgs = toAnsi(argText, "argument text");
    const std::optional<std::string> ansiBase = toAnsi(baseDir, "base directory");
    if (!ansiArgs || !ansiBase) return kUsage;
    const WideText html = plugin->InlineText(*ansiArgs, *ansiBase);
    const bool created = html.View() != Plugin::kFailureComment;
    if (!created) Error("cannot open CSV file " + baseDir + "/" + CsvFileName(argText));
    if (!WriteOutput(std::nullopt, html.View())) return kIoFailure;
    return created ? kOk : kNoTable;
  }

  for (const std::string& input : inputs) request.inputs.emplace_back(input);
  if (expandOut) request.outFile = *expandOut;
  if (outDir) request.outDir = *outDir;
  const Plugin& loaded = *plugin;
  return ExpandPages(
      [&loaded](const std::string& args, const std::string& base) {
        return loaded.Inline(args, base);
      },
      encodings, request);
}

// gridloom render CSV [INI] [-o OUT]: the HTML table of one CSV file.
#include <algorithm>

#include "commands/commands.h"
#include "commands/one_call.h"
#include "plugin/call_rules.h"
#include "report.h"

namespace gridloom::host {

namespace fs = std::filesystem;

namespace {

class RenderCommand : public Command {
 public:
  CLI::App* Define(CLI::App& app, Options& options) override {
    CLI::App* render =
        app.add_subcommand("render", "Write the HTML table of one CSV file as UTF-8");
    render->add_option("CSV", csvFile_, "The CSV file; - reads it from standard input")
        ->required();
    render->add_option("INI", iniFile_,
                       "The INI file with the tags (default tags when left out)");
    render->add_option("-o,--output", output_, "Write to this file instead of standard output");
    AddStrictFlag(*render, options, "the INI file cannot be read");
    render->footer(std::string("Example:\n  gridloom render data/prices.csv param.ini -o "
                               "prices.html\n  sort prices.csv | gridloom render - param.ini\n\n") +
                   kExitStatuses);
    return render;
  }

  void Check() const override {
    RequireName(csvFile_.empty() || (iniFile_ && iniFile_->empty()), "render: a file name");
    RequireName(output_ && output_->empty(), "-o: the output's name");
    RequireWritable(output_);
  }

  int Run(Context& context) override {
    RefuseOutputThatIsAnInput();
    std::vector<const std::string*> files = {&csvFile_};
    if (iniFile_) files.push_back(&*iniFile_);
    // Inputs that are not regular files (standard input, a pipe) are read from copies, which
    // lie on the drive of the other file, where there is one.
    std::vector<std::unique_ptr<TempCopy>> copies;
    std::vector<std::string> paths;
    const fs::path beside = iniFile_ && csvFile_ == "-" ? fs::path(*iniFile_).parent_path() : ".";
    for (const std::string* file : files) {
      copies.push_back(CopyIfNotRegular(*file, *file, beside.empty() ? "." : beside));
      paths.push_back(copies.back() ? copies.back()->Path() : *file);
    }
    std::string base;
    const std::vector<std::string> names = Names(context, paths, base);
    return RunOneCall(context, call::ArgumentText(names), base, csvFile_,
                      iniFile_.value_or(std::string()), output_);
  }

 private:
  // An output that is one of the inputs would be lost: refused before anything is read.
  void RefuseOutputThatIsAnInput() const {
    const std::optional<FileId> out = output_ ? IdOf(*output_) : std::nullopt;
    if (!out) return;
    for (const std::string* file : {&csvFile_, iniFile_ ? &*iniFile_ : nullptr}) {
      if (file != nullptr && *file != "-" && IdOf(*file) == out) {
        throw UsageError("refusing to write " + *output_ + ": it is the input " + *file +
                         " (the same file); choose another output");
      }
    }
  }

  // The names in the ANSI code page, as typed, relative to the working folder (base "."); when
  // one is absolute, all are, from the root (the plug-in puts a backslash after the base: ""
  // makes "/" again, and on Windows the base is the drive, "C:").
  static std::vector<std::string> Names(const Context& context,
                                        const std::vector<std::string>& paths, std::string& base) {
    const bool absolute = std::any_of(paths.begin(), paths.end(), [](const std::string& p) {
      return fs::path(p).has_root_directory() || fs::path(p).has_root_name();
    });
    base = absolute ? "" : ".";
    std::vector<std::string> names;
    for (const std::string& path : paths) {
      std::string name = path;
      if (absolute) {
        const fs::path full = fs::absolute(path).lexically_normal();
        if (&path != &paths.front() && PathText(full.root_name()) != base) {
          throw UsageError(
              "the CSV and INI files must lie on one drive when one is named from the root");
        }
        base = PathText(full.root_name());
        name = PathText(full.relative_path());
      }
      names.push_back(context.Ansi(name, "file name"));
    }
    return names;
  }

  std::string csvFile_;
  std::optional<std::string> iniFile_, output_;
};

}  // namespace

std::unique_ptr<Command> MakeRenderCommand() { return std::make_unique<RenderCommand>(); }

}  // namespace gridloom::host

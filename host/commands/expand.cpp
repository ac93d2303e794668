// gridloom expand PATH... [-o OUT | --out-dir DIR]: pages with their calls replaced by tables.
#include "commands/commands.h"
#include "expand.h"
#include "report.h"

namespace gridloom::host {

namespace fs = std::filesystem;

namespace {

class ExpandCommand : public Command {
 public:
  CLI::App* Define(CLI::App& app, Options& options) override {
    CLI::App* expand = app.add_subcommand(
        "expand", "Replace each &gridloom(ARGS) in pages by the table; folders are searched for "
                  "*.html and *.htm");
    expand->add_option("PATH", inputs_, "Pages and folders")->required();
    auto* outOption = expand->add_option("-o,--output", output_, "Write the one page here");
    expand->add_option("--out-dir", outDir_, "Write the pages into this folder, mirroring the "
                                             "input tree; other files are copied with their "
                                             "mode and time")
        ->excludes(outOption);
    expand->add_option("-j,--jobs", options.jobs, "Pages expanded at once (1 to 1024)")
        ->check(JobsValidator())
        ->capture_default_str();
    AddStrictFlag(*expand, options,
                  "a call gives no table, is left as written, or its INI file cannot be read");
    expand->add_flag("-q,--quiet", request_.quiet, "No progress line, no summary");
    expand->add_flag("--force", request_.force,
                     "With --out-dir: make every output again, even those that are up to date");
    expand->add_flag("--delete", request_.deleteStale,
                     "With --out-dir: remove the outputs of pages and files that are gone");
    expand->add_option("--depfile", depfile_,
                       "Write the files each output was made from as rules for make and ninja");
    expand->add_flag("--include-hidden", request_.includeHidden,
                     "Take names that start with a dot (.git, .env) from folders too; "
                     ".well-known is always taken");
    expand->footer(std::string(kFooter) + kExitStatuses);
    return expand;
  }

  void Check() const override {
    RequireName(output_ && output_->empty(), "-o: the output's name");
    RequireName(outDir_ && outDir_->empty(), "--out-dir: the folder's name");
    RequireName(depfile_ && depfile_->empty(), "--depfile: the file's name");
    RequireName(std::any_of(inputs_.begin(), inputs_.end(), [](auto& i) { return i.empty(); }),
                "PATH: a page's or folder's name");
    RequireWritable(output_);
    RequireWritable(depfile_);
    const std::pair<bool, const char*> needOutDir[] = {
        {depfile_ && !output_ && !outDir_, "--depfile needs -o or --out-dir"},
        {request_.force && !outDir_, "--force needs --out-dir"},
        {request_.deleteStale && !outDir_, "--delete needs --out-dir"},
    };
    for (const auto& [wrong, what] : needOutDir) {
      if (wrong) throw UsageError(std::string(what) + " (see gridloom expand --help)");
    }
  }

  int Run(Context& context) override {
    ExpandRequest request = request_;
    request.inputs.assign(inputs_.begin(), inputs_.end());
    if (output_) request.outFile = *output_;
    if (outDir_) request.outDir = *outDir_;
    if (depfile_) request.depfile = *depfile_;
    request.jobs = context.options.jobs;
    request.strict = context.options.strict;
    request.buildKey = BuildKey(context);
    return ExpandPages(context.Call(), context.PageEncodings(), request);
  }

 private:
  static constexpr const char* kFooter =
      "With --out-dir, only what changed is made again: a page whose page, CSV or INI\nfiles "
      "changed, a file that changed. What each output was made from is kept beside\nthe folder, "
      "in OUT.gridloom-state.\n\nExample:\n  gridloom expand site/index.html -o "
      "public/index.html\n  gridloom expand site --out-dir public --strict\n  gridloom expand "
      "site/index.html -o public/index.html --depfile public/index.html.d\n\n";

  // What besides pages and data the outputs depend on: a change rebuilds everything.
  static std::string BuildKey(const Context& context) {
    const fs::path plugin = context.PluginPath();
    std::error_code noFolder;
    return "gridloom " GRIDLOOM_VERSION_TEXT "\nfolder " + PathText(fs::current_path(noFolder)) +
           "\ncode page " + std::to_string(context.options.codePage) + "\npages " +
           context.options.pageEncoding + "\nplug-in " +
           PathText(fs::absolute(plugin, noFolder)) + " " + StampOf(plugin, false).Text();
  }

  std::vector<std::string> inputs_;
  std::optional<std::string> output_, outDir_, depfile_;
  ExpandRequest request_;
};

}  // namespace

std::unique_ptr<Command> MakeExpandCommand() { return std::make_unique<ExpandCommand>(); }

}  // namespace gridloom::host

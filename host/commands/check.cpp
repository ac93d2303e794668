// gridloom check PATH...: every call of the pages, and each problem; nothing written.
#include "check.h"
#include "commands/commands.h"

namespace gridloom::host {

namespace {

class CheckCommand : public Command {
 public:
  CLI::App* Define(CLI::App& app, Options& options) override {
    CLI::App* check = app.add_subcommand(
        "check", "Report every call in pages and folders, and each problem, writing nothing");
    check->add_option("PATH", inputs_, "Pages and folders")->required();
    check->add_option("-j,--jobs", options.jobs, "Pages checked at once (1 to 1024)")
        ->check(JobsValidator())
        ->capture_default_str();
    check->add_flag("--include-hidden", includeHidden_,
                    "Take names that start with a dot from folders too, as expand does with it");
    check->footer(std::string("Example:\n  gridloom check site\n\nExit status: 0 every call is "
                              "fine; 1 a call has a problem; 2 the command line is wrong; 3 a "
                              "page or folder could not be read."));
    return check;
  }

  void Check() const override {
    RequireName(std::any_of(inputs_.begin(), inputs_.end(), [](auto& i) { return i.empty(); }),
                "PATH: a page's or folder's name");
  }

  int Run(Context& context) override {
    const CheckRequest request{{inputs_.begin(), inputs_.end()}, context.options.jobs,
                               includeHidden_};
    return CheckPages(context.Call(), context.PageEncodings(), request);
  }

 private:
  std::vector<std::string> inputs_;
  bool includeHidden_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeCheckCommand() { return std::make_unique<CheckCommand>(); }

}  // namespace gridloom::host

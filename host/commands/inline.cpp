// gridloom inline ARGTEXT [--base DIR]: one call of PluginInline, as a host makes it.
#include "commands/commands.h"
#include "commands/one_call.h"
#include "gridloom/native_path.h"
#include "plugin/call_rules.h"

namespace gridloom::host {

namespace fs = std::filesystem;

namespace {

class InlineCommand : public Command {
 public:
  CLI::App* Define(CLI::App& app, Options& options) override {
    CLI::App* command =
        app.add_subcommand("inline", "One call of PluginInline; the result as UTF-8");
    command
        ->add_option("ARGTEXT", argText_,
                     "The argument text, e.g. '\"t.csv\",\"t.ini\"'; a CSV file named - is read "
                     "from standard input")
        ->required();
    command->add_option("--base", baseDir_, "The base directory")->capture_default_str();
    AddStrictFlag(*command, options, "the INI file cannot be read");
    command->footer(std::string("Example:\n  gridloom inline '\"../data/table1.csv\",\"../"
                                "param.ini\"' --base site/pages\n\n") +
                    kExitStatuses);
    return command;
  }

  int Run(Context& context) override {
    std::string ansiArgs = context.Ansi(argText_, "argument text");
    const std::string ansiBase = context.Ansi(baseDir_, "base directory");
    // Names in messages: the base (but ".") and the name as given.
    const auto shown = [this](unsigned field) {
      const std::string name = call::ArgumentField(argText_, field);
      return baseDir_ == "." ? Shown("", name) : baseDir_ + "/" + Slashed(name);
    };
    const std::string csvShown = shown(0);
    // A CSV file named - and inputs that are not regular files are copied, and the argument
    // text names the copies, relative to the base directory.
    std::vector<std::unique_ptr<TempCopy>> copies;
    std::vector<std::string> fields = {call::ArgumentField(ansiArgs, 0),
                                       call::ArgumentField(ansiArgs, 1)};
    bool rewritten = false;
    for (std::string& field : fields) {
      if (field.empty()) continue;
      const std::string native = field == "-" && &field == &fields[0]
                                     ? std::string("-")
                                     : gridloom::NativePath(call::Join(ansiBase, field));
      copies.push_back(CopyIfNotRegular(native, csvShown, gridloom::NativePath(ansiBase)));
      if (!copies.back()) continue;
      const fs::path copy = copies.back()->Path();
      field = ansiBase.empty() ? PathText(copy.relative_path())
                               : PathText(copy.lexically_relative(
                                     fs::canonical(gridloom::NativePath(ansiBase))));
      rewritten = true;
    }
    if (rewritten) ansiArgs = call::ArgumentText(fields);
    return RunOneCall(context, ansiArgs, ansiBase, csvShown,
                      shown(1), std::nullopt);
  }

 private:
  std::string argText_;
  std::string baseDir_ = ".";
};

}  // namespace

std::unique_ptr<Command> MakeInlineCommand() { return std::make_unique<InlineCommand>(); }

}  // namespace gridloom::host

// gridloom info: what the plug-in's information exports answer.
#include "commands/commands.h"
#include "report.h"

namespace gridloom::host {

namespace {

class InfoCommand : public Command {
 public:
  CLI::App* Define(CLI::App& app, Options&) override {
    CLI::App* info = app.add_subcommand("info", "The plug-in's information exports");
    info->footer("Example:\n  gridloom --plugin ./libgridloom.so info\n\nExit status: 0 done; 3 "
                 "the plug-in could not be loaded, or standard output could not be written.");
    return info;
  }

  int Run(Context& context) override {
    const Plugin& plugin = context.LoadedPlugin();
    WideEncoder utf8("UTF-8");
    std::string text = "type: " + std::to_string(plugin.Type()) + "\n";
    const std::pair<const char*, PluginText> texts[] = {
        {"name", PluginText::Name},         {"version", PluginText::Version},
        {"author", PluginText::Author},     {"syntax", PluginText::Syntax},
        {"description", PluginText::Description}, {"example", PluginText::Example}};
    for (const auto& [label, which] : texts) {
      text += std::string(label) + ": " + utf8.Encode(plugin.Text(which)) + "\n";
    }
    return PrintText(text, 65001) ? kOk : kIoFailure;
  }
};

}  // namespace

std::unique_ptr<Command> MakeInfoCommand() { return std::make_unique<InfoCommand>(); }

}  // namespace gridloom::host

// gridloom serve SITE [--port N] [--bind ADDR]: a live preview of a site. The server is a
// module of its own (serve.h), loaded only for this command.
#include "commands/commands.h"
#include "report.h"
#include "serve.h"

// What else stops the server, for its help.
#ifdef _WIN32
#define GRIDLOOM_STOP_SIGNALS "or Ctrl-Break, or closing the console"
#else
#define GRIDLOOM_STOP_SIGNALS "or SIGTERM, SIGHUP"
#endif

namespace gridloom::host {

namespace {

class ServeCommand : public Command {
 public:
  CLI::App* Define(CLI::App& app, Options&) override {
    CLI::App* serve = app.add_subcommand(
        "serve", "Serve a site over HTTP, each page expanded when it is asked for; an open page "
                 "reloads itself when its page, CSV or INI files change");
    serve->add_option("SITE", site_, "The folder of the site")->required();
    serve->add_option("--port", request_.port, "The port; 0 takes a free one")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    serve->add_option("--bind", request_.bind,
                      "The address to listen on; another than 127.0.0.1 or ::1 lets other "
                      "machines see the site")
        ->capture_default_str();
    serve->footer(std::string(kFooter));
    return serve;
  }

  void Check() const override {
    RequireName(site_.empty(), "SITE: a folder's name");
    RequireName(request_.bind.empty(), "--bind: the address");
  }

  int Run(Context& context) override {
    ServeRequest request = request_;
    request.site = site_;
    const std::filesystem::path module =
        BesideProgram(GRIDLOOM_SERVE_BUILD_PATH, GRIDLOOM_SERVE_INSTALL_PATH);
    std::string why;
    void* library = OpenLibrary(module, why);
    const auto run = library != nullptr
                         ? reinterpret_cast<GridloomServeFn*>(FindExport(library, kServeExport))
                         : nullptr;
    if (run == nullptr) {
      throw IoError("serve: cannot load " + PathText(module) + ": " +
                    (library ? "it lacks " + std::string(kServeExport) : why));
    }
    const InlineFunction call = context.Call();
    const int status = run(&call, &context.PageEncodings(), &request);
    CloseLibrary(library);
    return status;
  }

 private:
  static constexpr const char* kFooter =
      "Pages are served as gridloom expand would write them, with a small script that\nreloads "
      "them; other files as they are. Nothing outside SITE is served, nor\nnames that start "
      "with a dot, nor folder listings.\n\nExample:\n  gridloom serve site\n  gridloom serve "
      "site --port 0 --bind ::1\n\nExit status: 0 stopped by Ctrl-C (" GRIDLOOM_STOP_SIGNALS "); 2 the "
      "command line is\nwrong; 3 the site or the port cannot be had.";

  std::string site_;
  ServeRequest request_;
};

}  // namespace

std::unique_ptr<Command> MakeServeCommand() { return std::make_unique<ServeCommand>(); }

}  // namespace gridloom::host

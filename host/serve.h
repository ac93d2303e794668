// A preview server for a site: pages are expanded when they are asked for and their page,
// CSV or INI files changed since, and an open page reloads itself when they change again.
#pragma once

#include <filesystem>
#include <string>

#include "page.h"

namespace gridloom::host {

struct ServeRequest {
  std::filesystem::path site;
  std::string bind = "127.0.0.1";
  int port = 8000;  // 0: any free port (the one taken is printed)
};

// Serves until SIGINT, SIGTERM or SIGHUP (on Windows Ctrl+C, Ctrl+Break or the console's
// closing); messages go to standard error. Returns the exit status: 0 when stopped, 2 for a
// site that is not a folder, 3 when the port cannot be had.
int Serve(const InlineFunction& call, const Encodings& encodings, const ServeRequest& request);

}  // namespace gridloom::host

// The server is a module of its own (libgridloom-serve.so, gridloom-serve.dll), loaded by the
// command only for serve: the HTTP server, and on Windows the sockets library, stay out of
// every other command's start. The module's one export runs Serve.
extern "C" using GridloomServeFn = int(const gridloom::host::InlineFunction* call,
                                       const gridloom::host::Encodings* encodings,
                                       const gridloom::host::ServeRequest* request);
inline constexpr const char* kServeExport = "GridloomServe";

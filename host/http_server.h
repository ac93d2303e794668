// The HTTP side of serve, the same on Linux and Windows: a small server over Boost.Beast that
// answers every request through one handler, on a pool of threads, until Ctrl+C stops it
// (or SIGTERM, SIGHUP; on Windows Ctrl+Break and the closing of the console).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace gridloom::host {

struct HttpRequest {
  std::string method;               // as sent: GET, HEAD, POST
  std::string target;               // as sent: the path and query, percent-encoded
  std::optional<std::string> host;  // the Host header, where there is one
};

struct HttpAnswer {
  int status = 200;
  std::string contentType = "text/plain";
  std::vector<std::pair<std::string, std::string>> headers;  // others: Location, Allow
  std::string text;  // the body, unless shared holds it
  // A body kept elsewhere (a page kept for every answer): held until it is sent.
  std::shared_ptr<const std::string> shared;
};

// Makes the answer to a request; runs on the server's threads, several at once, and may take
// its time (a page is expanded) or throw (the answer is then 500).
using HttpHandler = std::function<void(const HttpRequest&, HttpAnswer&)>;

class HttpServer {
 public:
  HttpServer();
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Listens on the address (a name or a number) and port (0: a free one). Answers the port
  // taken, or -1 with why in the words of the system ("Address already in use").
  int Listen(const std::string& address, int port, std::string& why);

  // Answers requests until a signal to stop comes; answers whether one came (false: the
  // server stopped by itself).
  bool Run(const HttpHandler& handler);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace gridloom::host

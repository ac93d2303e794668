#include "serve.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <httplib.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "preview.h"
#include "report.h"
#include "site.h"

namespace gridloom::host {

namespace fs = std::filesystem;

namespace {

struct CachedPage {
  FileStamp stamp;
  std::vector<Input> inputs;
  std::string body;  // with the reload script
  std::string messages;

  bool UpToDate(const fs::path& page) const {
    StampCache stamps;
    return SourcesUnchanged(PathText(page), stamp, inputs, stamps);
  }
};

class Site {
 public:
  Site(const InlineFunction& call, const Encodings& encodings, const ServeRequest& request,
       fs::path root)
      : call_(call), encodings_(encodings), request_(request), root_(std::move(root)) {}

  void Handle(const httplib::Request& request, httplib::Response& response);

 private:
  UrlTarget Resolve(const std::string& urlPath) const {
    return ResolveUrlPath(root_, request_.site, urlPath);
  }
  std::shared_ptr<const CachedPage> Page(const fs::path& path);
  std::shared_ptr<const CachedPage> Make(const fs::path& path) const;
  void AnswerStamp(const httplib::Request& request, httplib::Response& response);

  const InlineFunction& call_;
  const Encodings& encodings_;
  const ServeRequest& request_;
  const fs::path root_;  // canonical
  std::mutex lock_;      // guards pages_ and building_
  std::map<fs::path, std::shared_ptr<const CachedPage>> pages_;
  std::map<fs::path, std::shared_future<std::shared_ptr<const CachedPage>>> building_;
};

// The page as it is now: the one kept, while its files are as they were; else the one being
// made (requests that come while a page is made wait for it rather than make it again);
// else made here.
std::shared_ptr<const CachedPage> Site::Page(const fs::path& path) {
  std::shared_ptr<const CachedPage> kept;
  std::promise<std::shared_ptr<const CachedPage>> made;
  std::shared_future<std::shared_ptr<const CachedPage>> waited;
  {
    const std::lock_guard<std::mutex> guard(lock_);
    const auto it = pages_.find(path);
    if (it != pages_.end()) kept = it->second;
    const auto building = building_.find(path);
    if (building != building_.end()) waited = building->second;
  }
  if (kept && kept->UpToDate(path)) return kept;
  if (waited.valid()) return waited.get();
  {
    const std::lock_guard<std::mutex> guard(lock_);
    const auto [it, added] = building_.emplace(path, made.get_future().share());
    if (!added) waited = it->second;  // another request started it meanwhile
    // The old page is not served again: it goes once the answers sending it are done, rather
    // than stay beside the new one while that is made.
    if (added) pages_.erase(path);
  }
  kept.reset();
  if (waited.valid()) return waited.get();
  std::shared_ptr<const CachedPage> page;
  try {
    page = Make(path);
  } catch (...) {
    made.set_exception(std::current_exception());
    const std::lock_guard<std::mutex> guard(lock_);
    building_.erase(path);
    throw;
  }
  const std::lock_guard<std::mutex> guard(lock_);
  pages_[path] = page;
  building_.erase(path);
  made.set_value(page);
  return page;
}

// Makes a page. A file that changes while the page is made could give a table of neither
// version: the page is made again until its files stood still while it was made.
std::shared_ptr<const CachedPage> Site::Make(const fs::path& path) const {
  auto page = std::make_shared<CachedPage>();
  bool asciiCompatible = true;
  for (int attempt = 0; attempt < 5; ++attempt) {
    PageExpander expander(call_, encodings_);  // stamps files anew
    asciiCompatible = expander.AsciiCompatible();
    page->stamp = StampOf(path);
    PageResult result = expander.Expand(ReadFile(path), path.string(), path.parent_path());
    page->inputs = InputsOf(result);
    page->body = std::move(result.text);
    page->messages = result.ProblemLines(path.string());
    bool still = StampOf(path, false).Same(page->stamp);
    for (const Input& input : page->inputs) still = still && StampOf(input.path, false).Same(input.stamp);
    if (still) break;
  }
  if (asciiCompatible) Inject(page->body, ReloadScript(Token(path, page->inputs)));
  if (!page->messages.empty()) std::fputs(page->messages.c_str(), stderr);
  return page;
}

void Site::AnswerStamp(const httplib::Request& request, httplib::Response& response) {
  const UrlTarget found = Resolve(request.get_param_value("page"));
  std::shared_ptr<const CachedPage> page;
  if (found.status == 200) {
    const std::lock_guard<std::mutex> guard(lock_);
    const auto it = pages_.find(found.path);
    if (it != pages_.end()) page = it->second;
  }
  response.set_header("Cache-Control", "no-store");
  response.set_content(page ? Token(found.path, page->inputs) : std::string("none"), "text/plain");
}

void Site::Handle(const httplib::Request& request, httplib::Response& response) {
  if (request.path == kStampPath) return AnswerStamp(request, response);
  const UrlTarget found = Resolve(request.path);
  if (found.status == 301) {
    // The name, percent-encoded again for the Location header, and the query as it came.
    std::string location;
    for (const char c : found.location) {
      const auto byte = static_cast<unsigned char>(c);
      if (std::isalnum(byte) != 0 || std::string_view("/-._~").find(c) != std::string_view::npos) {
        location += c;
      } else {
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
        location += escaped;
      }
    }
    const std::size_t query = request.target.find('?');
    if (query != std::string::npos) location += request.target.substr(query);
    response.set_redirect(location, 301);
    return;
  }
  if (found.status != 200) {
    response.status = found.status;
    response.set_content(found.status == 404 ? "Not found\n" : "Forbidden\n", "text/plain");
    return;
  }
  response.set_header("Cache-Control", "no-store");
  try {
    if (IsPageName(PathText(found.path.filename()))) {
      // Every answer reads the one page kept, which it holds until it is sent.
      const std::shared_ptr<const CachedPage> page = Page(found.path);
      response.set_content_provider(
          page->body.size(), "text/html; charset=" + CharsetLabel(encodings_),
          [page](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            constexpr std::size_t kPiece = std::size_t{1} << 20;
            return sink.write(page->body.data() + offset, std::min(length, kPiece));
          });
    } else {
      response.set_content(ReadFile(found.path), ContentType(found.path));
    }
  } catch (const std::exception& e) {
    Error(e.what());
    response.status = 500;
    response.set_content(std::string(e.what()) + "\n", "text/plain");
  }
}

// Sets up the server: the site's pages, other methods refused, Host names checked against
// the bound address and port (port: set once the server is bound).
void Configure(httplib::Server& server, Site& site, const ServeRequest& request,
               const int& port) {
  // Browsers keep connections open, each holding a thread between requests; more threads
  // than the library's default let several open pages and a burst of requests share it.
  server.new_task_queue = [] { return new httplib::ThreadPool(32); };
  server.set_keep_alive_timeout(2);
  // The library's default, SO_REUSEPORT, lets a second server take the same port and share
  // its requests at random; SO_REUSEADDR only lets a new one start while old connections of
  // a stopped one linger.
  server.set_socket_options([](socket_t socket) {
    const int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server.Get(".*", [&site](const httplib::Request& req, httplib::Response& res) {
    site.Handle(req, res);
  });
  // Only GET and HEAD: a request of another method is answered 405 after its body (of at
  // most 1 MB) is read, and at once when it has none, rather than waited for.
  const auto notAllowed = [](const httplib::Request&, httplib::Response& res) {
    res.status = 405;
    res.set_header("Allow", "GET, HEAD");
    res.set_content("Method not allowed\n", "text/plain");
  };
  server.set_payload_max_length(1 << 20);
  server.Post(".*", notAllowed);
  server.Put(".*", notAllowed);
  server.Patch(".*", notAllowed);
  server.Delete(".*", notAllowed);
  server.Options(".*", notAllowed);
  server.set_pre_routing_handler([&request, &port, notAllowed](const httplib::Request& req,
                                                                httplib::Response& res) {
    if (req.has_header("Host") && !HostIsOurs(req.get_header_value("Host"), request.bind, port)) {
      res.status = 421;
      res.set_content("This server answers for its own address only\n", "text/plain");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.method != "GET" && req.method != "HEAD" && !req.has_header("Content-Length") &&
        !req.has_header("Transfer-Encoding")) {
      notAllowed(req, res);
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
}

}  // namespace

int Serve(const InlineFunction& call, const Encodings& encodings, const ServeRequest& request) {
  std::error_code error;
  const fs::path root = fs::canonical(request.site, error);
  if (error || !fs::is_directory(root, error)) {
    Error("serve: " + request.site.string() + (error ? ": " + error.message() : " is not a folder"));
    return error ? kIoFailure : kUsage;
  }
#ifdef __GLIBC__
  // Pages are made again and again, each holding its table in large blocks a while. glibc
  // would take such blocks from its heap once one was freed (its threshold for mappings
  // grows), where freed memory stays with the process: mapped, each block goes back to the
  // system when it is freed.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
  Site site(call, encodings, request, root);
  httplib::Server server;
  int port = 0;
  Configure(server, site, request, port);

  // The signals that stop the server are taken by a thread of their own, which stops it;
  // every other thread, the server's included, is started with them blocked.
  sigset_t stops, old;
  sigemptyset(&stops);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, signal);
  pthread_sigmask(SIG_BLOCK, &stops, &old);
  port = request.port == 0 ? server.bind_to_any_port(request.bind)
                           : (server.bind_to_port(request.bind, request.port) ? request.port : -1);
  if (port < 0) {
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    Error("serve: cannot listen on " + request.bind + " port " + std::to_string(request.port) +
        ": " + Reason(errno));
    return kIoFailure;
  }
  const std::string host = request.bind.find(':') == std::string::npos ? request.bind
                                                                         : "[" + request.bind + "]";
  Note("serving " + request.site.string() + " at http://" + host + ":" + std::to_string(port) +
      "/ (Ctrl-C stops)");
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    int signal = 0;
    sigwait(&stops, &signal);
    stopped = true;
    server.stop();
  });
  const bool listened = server.listen_after_bind();
  const bool byItself = !stopped;
  if (byItself) pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (byItself || !listened) {
    Error("serve: the server stopped by itself");
    return kIoFailure;
  }
  Note("stopped");
  return kOk;
}

}  // namespace gridloom::host

extern "C" __attribute__((visibility("default"))) int GridloomServe(
    const gridloom::host::InlineFunction* call, const gridloom::host::Encodings* encodings,
    const gridloom::host::ServeRequest* request) noexcept {
  try {
    return gridloom::host::Serve(*call, *encodings, *request);
  } catch (const std::exception& e) {
    gridloom::host::Error(std::string("serve: ") + e.what());
  } catch (...) {
    gridloom::host::Error("serve: stopped by an unknown error");
  }
  return gridloom::host::kIoFailure;
}

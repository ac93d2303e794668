#include "http_server.h"

#include <utility>  // before Boost 1.74's Asio, whose awaitable.hpp uses std::exchange without it

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <exception>
#include <string_view>

#ifdef _WIN32
#include <windows.h>
#else
#include <boost/asio/signal_set.hpp>
#include <csignal>
#endif

#include "os.h"

namespace gridloom::host {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

// Threads that answer: a page being made holds one, and browsers keep connections open
// between requests (which holds none while they wait).
constexpr int kThreads = 16;
// How long a connection may take to send a request, or stay open waiting for the next one.
constexpr std::chrono::seconds kIdle{10};
// The largest request body read (the server takes none; it is read to answer 405).
constexpr std::size_t kLargestBody = std::size_t{1} << 20;

// An error of the system in its words, as the rest of the command says them.
std::string Words(const beast::error_code& error) {
#ifdef _WIN32
  switch (error.value()) {  // Windows' own words are its sockets', not the files' words
    case WSAEADDRINUSE:
      return "Address already in use";
    case WSAEACCES:
      return "Permission denied";
    case WSAEADDRNOTAVAIL:
      return "Cannot assign requested address";
    default:
      return error.message();
  }
#else
  return error.category() == beast::system_category() ? Reason(error.value()) : error.message();
#endif
}

// One connection: requests read and answered in turn, until either side closes it.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, const HttpHandler& handler)
      : stream_(std::move(socket)), handler_(handler) {}

  void Read() {
    parser_.emplace();
    parser_->body_limit(kLargestBody);
    stream_.expires_after(kIdle);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code error, std::size_t) {
                       self->Answer(error);
                     });
  }

 private:
  void Answer(const beast::error_code& error) {
    const beast::error_code ended = http::error::end_of_stream;
    if (error == http::error::body_limit) return Send(413, "Payload too large\n");
    // The other side closed, went quiet or broke the connection: nothing to answer.
    if (error == ended || (error && error.category() != ended.category())) return Close();
    if (error) return Send(400, "Bad request\n");  // not HTTP
    const auto& request = parser_->get();
    HttpRequest asked{std::string(request.method_string()), std::string(request.target()),
                      std::nullopt};
    if (const auto host = request.find(http::field::host); host != request.end()) {
      asked.host = std::string(host->value());
    }
    answer_ = HttpAnswer();
    try {
      handler_(asked, answer_);
    } catch (const std::exception& e) {
      answer_ = HttpAnswer{500, "text/plain", {}, std::string(e.what()) + "\n", nullptr};
    }
    Write(request.method() == http::verb::head, request.version(), request.keep_alive());
  }

  // An answer of the server's own, after which the connection is closed.
  void Send(int status, std::string text) {
    answer_ = HttpAnswer{status, "text/plain", {}, std::move(text), nullptr};
    Write(false, 11, false);
  }

  // Writes answer_, which the response points into until it is sent.
  void Write(bool head, unsigned version, bool keepAlive) {
    const std::string& body = answer_.shared ? *answer_.shared : answer_.text;
    response_.emplace(static_cast<http::status>(answer_.status), version);
    response_->set(http::field::content_type, answer_.contentType);
    for (const auto& [name, value] : answer_.headers) response_->set(name, value);
    response_->body() = beast::span<const char>(body.data(), head ? 0 : body.size());
    response_->content_length(body.size());
    response_->keep_alive(keepAlive);
    http::async_write(stream_, *response_,
                      [self = shared_from_this()](beast::error_code error, std::size_t) {
                        const bool again = !error && self->response_->keep_alive();
                        self->response_.reset();
                        self->answer_ = HttpAnswer();  // a page is not held past its answer
                        if (again) return self->Read();
                        self->Close();
                      });
  }

  void Close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  }

  beast::tcp_stream stream_;
  const HttpHandler& handler_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  HttpAnswer answer_;
  std::optional<http::response<http::span_body<const char>>> response_;
};

}  // namespace

struct HttpServer::State {
  net::io_context io{kThreads};
  tcp::acceptor acceptor{io};
  net::steady_timer pause{io};  // after a failed accept (too many files open)
  const HttpHandler* handler = nullptr;

  void Accept() {
    acceptor.async_accept(net::make_strand(io), [this](beast::error_code error, tcp::socket socket) {
      if (error == net::error::operation_aborted) return;
      if (!error) {
        std::make_shared<Session>(std::move(socket), *handler)->Read();
        return Accept();
      }
      pause.expires_after(std::chrono::milliseconds(50));
      pause.async_wait([this](beast::error_code) { Accept(); });
    });
  }

  void RunThread() {
    for (;;) {
      try {
        io.run();
        return;
      } catch (...) {
        // What a handler let through ends its connection, not the server.
      }
    }
  }
};

HttpServer::HttpServer() : state_(std::make_unique<State>()) {}
HttpServer::~HttpServer() = default;

int HttpServer::Listen(const std::string& address, int port, std::string& why) {
  beast::error_code error;
  tcp::resolver resolver(state_->io);
  const auto found = resolver.resolve(address, std::to_string(port),
                                      tcp::resolver::passive | tcp::resolver::numeric_service,
                                      error);
  if (error || found.empty()) {
    why = error ? Words(error) : "no such address";
    return -1;
  }
  const tcp::endpoint endpoint = found.begin()->endpoint();
  tcp::acceptor& acceptor = state_->acceptor;
  acceptor.open(endpoint.protocol(), error);
#ifdef _WIN32
  // Windows' SO_REUSEADDR would let another server take the port from under this one; this
  // option keeps it ours alone.
  using Exclusive = net::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>;
  if (!error) acceptor.set_option(Exclusive(true), error);
#else
  // Lets a new server start while connections of a stopped one linger (not SO_REUSEPORT,
  // which would let a second server share the port and its requests at random).
  if (!error) acceptor.set_option(tcp::acceptor::reuse_address(true), error);
#endif
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(net::socket_base::max_listen_connections, error);
  const tcp::endpoint bound = error ? tcp::endpoint() : acceptor.local_endpoint(error);
  if (error) {
    why = Words(error);
    return -1;
  }
  return bound.port();
}

namespace {

#ifdef _WIN32
std::atomic<net::io_context*> g_serving{nullptr};
std::atomic<bool> g_stopped{false};

// Ctrl+C, Ctrl+Break and the console's closing stop the server. After this handler returns
// from the closing, Windows ends the process: it waits a moment for the server's last words.
BOOL WINAPI StopServing(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  net::io_context* io = g_serving.load();
  if (io == nullptr) return FALSE;
  g_stopped = true;
  io->stop();
  for (int waits = 0; event == CTRL_CLOSE_EVENT && g_serving.load() != nullptr && waits < 200;
       ++waits) {
    Sleep(10);
  }
  return TRUE;
}

// Stops io at the signals that stop the server, from here until it is destroyed.
class StopSignals {
 public:
  explicit StopSignals(net::io_context& io) {
    g_stopped = false;
    g_serving = &io;
    SetConsoleCtrlHandler(StopServing, TRUE);
  }
  ~StopSignals() {
    g_serving = nullptr;
    SetConsoleCtrlHandler(StopServing, FALSE);
  }
  bool Came() const { return g_stopped.load(); }
};
#else
class StopSignals {
 public:
  explicit StopSignals(net::io_context& io) : signals_(io, SIGINT, SIGTERM, SIGHUP) {
    signals_.async_wait([this, &io](const beast::error_code& error, int) {
      if (error) return;
      came_ = true;
      io.stop();
    });
  }
  bool Came() const { return came_.load(); }

 private:
  net::signal_set signals_;
  std::atomic<bool> came_{false};
};
#endif

}  // namespace

bool HttpServer::Run(const HttpHandler& handler) {
  state_->handler = &handler;
  const StopSignals stop(state_->io);
  state_->Accept();
  {
    net::thread_pool pool(kThreads - 1);
    for (int thread = 1; thread < kThreads; ++thread) {
      net::post(pool, [this] { state_->RunThread(); });
    }
    state_->RunThread();
    pool.join();
  }
  return stop.Came();
}

}  // namespace gridloom::host

#include "serve.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "base/parallel.h"
#include "http_server.h"
#include "os.h"
#include "preview.h"
#include "report.h"
#include "site.h"

namespace gridloom::host {

namespace fs = std::filesystem;

namespace {

// How long a page waits for a data file that is being saved: spreadsheet programs write the
// new file under another name, put it in the place of the old one, and may hold it locked
// against reading for a moment.
constexpr int kSaveWaits = 40;
constexpr int kSaveWaitMilliseconds = 50;
// How often a page is made again when its files changed while it was made.
constexpr int kUnsteadyTries = 5;

struct CachedPage {
  FileStamp stamp;
  std::vector<Input> inputs;
  std::string body;  // with the reload script

  bool UpToDate(const fs::path& page) const {
    StampCache stamps;
    return SourcesUnchanged(PathText(page), stamp, inputs, stamps);
  }
};
using PagePointer = std::shared_ptr<const CachedPage>;

// A page being made, which the requests that come meanwhile wait for.
struct Making {
  Flag done;
  PagePointer page;
  std::exception_ptr error;
};

// Whether a data file that cannot be read now is being saved: it could be read when the page
// was made before, or the lock file of the program that has it open lies beside it (Office's
// ~$name, LibreOffice's .~lock.name#).
bool BeingSaved(const std::string& path, const std::vector<Input>& before) {
  for (const Input& input : before) {
    if (input.path == path && input.stamp.exists) return true;
  }
  const fs::path file(path);
  const std::string name = PathText(file.filename());
  std::error_code error;
  return fs::exists(file.parent_path() / ("~$" + name), error) ||
         fs::exists(file.parent_path() / (".~lock." + name + "#"), error);
}

// Whether a call read a file that is being saved: its CSV file gave no table, or its INI
// file cannot be read.
bool ReadWhileSaved(const CallReport& call, const std::vector<Input>& before) {
  return (!call.table && !call.csvPath.empty() && BeingSaved(call.csvPath, before)) ||
         (!call.iniPath.empty() && !WhyUnreadable(call.iniPath).empty() &&
          BeingSaved(call.iniPath, before));
}

// The value of a query's field, decoded; empty where it has none.
std::string QueryValue(std::string_view query, std::string_view field) {
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    const std::size_t equals = pair.find('=');
    if (UrlDecoded(pair.substr(0, equals), true) == field) {
      return equals == std::string_view::npos ? std::string() : UrlDecoded(pair.substr(equals + 1), true);
    }
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
  }
  return {};
}

// A URL path percent-encoded again, for a Location header.
std::string Encoded(const std::string& path) {
  std::string encoded;
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) != 0 || std::string_view("/-._~").find(c) != std::string_view::npos) {
      encoded += c;
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
      encoded += escaped;
    }
  }
  return encoded;
}

class Site {
 public:
  Site(const InlineFunction& call, const Encodings& encodings, const ServeRequest& request,
       fs::path root, int port)
      : call_(call), encodings_(encodings), request_(request), root_(std::move(root)),
        port_(port) {}

  void Handle(const HttpRequest& request, HttpAnswer& answer);

 private:
  UrlTarget Resolve(const std::string& urlPath) const {
    return ResolveUrlPath(root_, request_.site, urlPath);
  }
  PagePointer Page(const fs::path& path);
  PagePointer Make(const fs::path& path, const std::vector<Input>& before) const;
  void AnswerStamp(const std::string& page, HttpAnswer& answer);

  const InlineFunction& call_;
  const Encodings& encodings_;
  const ServeRequest& request_;
  const fs::path root_;  // as the system names it
  const int port_;
  Lock lock_;  // guards pages_ and making_
  std::map<fs::path, PagePointer> pages_;
  std::map<fs::path, std::shared_ptr<Making>> making_;
};

// The page as it is now: the one kept, while its files are as they were; else the one being
// made (requests that come while a page is made wait for it rather than make it again);
// else made here.
PagePointer Site::Page(const fs::path& path) {
  PagePointer kept;
  std::shared_ptr<Making> making;
  {
    const Locked guard(lock_);
    const auto it = pages_.find(path);
    if (it != pages_.end()) kept = it->second;
    const auto made = making_.find(path);
    if (made != making_.end()) making = made->second;
  }
  if (kept && kept->UpToDate(path)) return kept;
  bool mine = false;
  if (!making) {
    auto fresh = std::make_shared<Making>();
    const Locked guard(lock_);
    const auto [it, added] = making_.emplace(path, fresh);
    making = it->second;  // another request may have started it meanwhile
    // The old page is not served again: it goes once the answers sending it are done, rather
    // than stay beside the new one while that is made.
    if (added) pages_.erase(path);
    mine = added;
  }
  if (!mine) {
    making->done.Wait();
    if (making->error) std::rethrow_exception(making->error);
    return making->page;
  }
  const std::vector<Input> before = kept ? kept->inputs : std::vector<Input>();
  kept.reset();
  try {
    making->page = Make(path, before);
  } catch (...) {
    making->error = std::current_exception();
  }
  {
    const Locked guard(lock_);
    if (making->page) pages_[path] = making->page;
    making_.erase(path);
  }
  making->done.Raise();
  if (making->error) std::rethrow_exception(making->error);
  return making->page;
}

// Makes a page. A file that changes while the page is made could give a table of neither
// version: the page is made again until its files stood still while it was made. A data file
// that is being saved is waited for a moment rather than shown as missing.
PagePointer Site::Make(const fs::path& path, const std::vector<Input>& before) const {
  auto page = std::make_shared<CachedPage>();
  bool asciiCompatible = true;
  std::string messages;
  for (int unsteady = 0, waits = 0;;) {
    PageExpander expander(call_, encodings_);  // stamps files anew
    asciiCompatible = expander.AsciiCompatible();
    page->stamp = StampOf(path);
    PageResult result = expander.Expand(ReadFile(path), PathText(path), path.parent_path());
    page->inputs = InputsOf(result);
    page->body = std::move(result.text);
    messages = result.ProblemLines(PathText(path));
    bool still = StampOf(path, false).Same(page->stamp);
    for (const Input& input : page->inputs) still = still && StampOf(input.path, false).Same(input.stamp);
    const bool saving = std::any_of(result.calls.begin(), result.calls.end(),
                                    [&before](const CallReport& call) {
                                      return ReadWhileSaved(call, before);
                                    });
    if (saving ? ++waits > kSaveWaits : still || ++unsteady >= kUnsteadyTries) break;
    if (saving) std::this_thread::sleep_for(std::chrono::milliseconds(kSaveWaitMilliseconds));
  }
  if (asciiCompatible) Inject(page->body, ReloadScript(Token(path, page->inputs)));
  if (!messages.empty()) WriteText(kStandardError, messages, 0);
  return page;
}

void Site::AnswerStamp(const std::string& pagePath, HttpAnswer& answer) {
  const UrlTarget found = Resolve(pagePath);
  PagePointer page;
  if (found.status == 200) {
    const Locked guard(lock_);
    const auto it = pages_.find(found.path);
    if (it != pages_.end()) page = it->second;
  }
  answer.headers.emplace_back("Cache-Control", "no-store");
  answer.text = page ? Token(found.path, page->inputs) : std::string("none");
}

void Site::Handle(const HttpRequest& request, HttpAnswer& answer) {
  if (request.host && !HostIsOurs(*request.host, request_.bind, port_)) {
    answer.status = 421;
    answer.text = "This server answers for its own address only\n";
    return;
  }
  if (request.method != "GET" && request.method != "HEAD") {
    answer.status = 405;
    answer.headers.emplace_back("Allow", "GET, HEAD");
    answer.text = "Method not allowed\n";
    return;
  }
  const std::size_t question = request.target.find('?');
  const std::string urlPath =
      UrlDecoded(std::string_view(request.target).substr(0, question), false);
  const std::string_view query = question == std::string::npos
                                     ? std::string_view()
                                     : std::string_view(request.target).substr(question + 1);
  if (urlPath == kStampPath) return AnswerStamp(QueryValue(query, "page"), answer);
  const UrlTarget found = Resolve(urlPath);
  if (found.status == 301) {
    answer.status = 301;
    // The name, percent-encoded again, and the query as it came.
    answer.headers.emplace_back(
        "Location", Encoded(found.location) +
                        (question == std::string::npos ? "" : request.target.substr(question)));
    return;
  }
  if (found.status != 200) {
    answer.status = found.status;
    answer.text = found.status == 404 ? "Not found\n" : "Forbidden\n";
    return;
  }
  answer.headers.emplace_back("Cache-Control", "no-store");
  try {
    if (IsPageName(PathText(found.path.filename()))) {
      // Every answer sends the one page kept, which it holds until it is sent.
      const PagePointer page = Page(found.path);
      answer.shared = std::shared_ptr<const std::string>(page, &page->body);
      answer.contentType = "text/html; charset=" + CharsetLabel(encodings_);
    } else {
      answer.text = ReadFile(found.path);
      answer.contentType = ContentType(found.path);
    }
  } catch (const std::exception& e) {
    Error(e.what());
    answer = HttpAnswer{500, "text/plain", {}, std::string(e.what()) + "\n", nullptr};
  }
}

}  // namespace

int Serve(const InlineFunction& call, const Encodings& encodings, const ServeRequest& request) {
  std::error_code error;
  const fs::path root = RealPath(request.site, error);
  if (error || !fs::is_directory(root, error)) {
    Error("serve: " + PathText(request.site) +
          (error ? ": " + Reason(error.value()) : " is not a folder"));
    return error ? kIoFailure : kUsage;
  }
#ifdef __GLIBC__
  // Pages are made again and again, each holding its table in large blocks a while. glibc
  // would take such blocks from its heap once one was freed (its threshold for mappings
  // grows), where freed memory stays with the process: mapped, each block goes back to the
  // system when it is freed.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
  HttpServer server;
  std::string why;
  const int port = server.Listen(request.bind, request.port, why);
  if (port < 0) {
    Error("serve: cannot listen on " + request.bind + " port " + std::to_string(request.port) +
          ": " + why);
    return kIoFailure;
  }
  Site site(call, encodings, request, root, port);
  const std::string host = request.bind.find(':') == std::string::npos ? request.bind
                                                                         : "[" + request.bind + "]";
  Note("serving " + PathText(request.site) + " at http://" + host + ":" + std::to_string(port) +
       "/ (Ctrl-C stops)");
  if (!server.Run([&site](const HttpRequest& asked, HttpAnswer& answer) {
        site.Handle(asked, answer);
      })) {
    Error("serve: the server stopped by itself");
    return kIoFailure;
  }
  Note("stopped");
  return kOk;
}

}  // namespace gridloom::host

#ifdef _WIN32
#define GRIDLOOM_MODULE_EXPORT __declspec(dllexport)
#else
#define GRIDLOOM_MODULE_EXPORT __attribute__((visibility("default")))
#endif

extern "C" GRIDLOOM_MODULE_EXPORT int GridloomServe(
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

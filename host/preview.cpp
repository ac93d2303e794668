#include "preview.h"

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>

#include "os.h"
#include "site.h"

namespace gridloom::host {

namespace fs = std::filesystem;

namespace {

// Why a name of the file system may not stand in a URL path served, as a status, or 0: not
// ".", "..", a name that starts with a dot (but .well-known) or a lock file (403); on Windows
// not a name with a colon (a drive, or a stream of a file: a page's "::$DATA" is its source;
// 403), nor one that would open another file or a device (404).
int Refusal(const std::string& segment, const fs::path& name) {
  if (segment == "." || segment == ".." || IsHiddenName(segment)) return 403;
  if (!kAnsiNames) return 0;
  if (segment.find(':') != std::string::npos) return 403;
  return UnreachableName(name).empty() ? 0 : 404;
}

// The file a name leads to through every symlink (and junction), which must lie in the site
// under names that are served: a short name of Windows (SECRE~1.TXT) says nothing of that,
// nor a link's.
bool Inside(const fs::path& root, const fs::path& name, fs::path& real) {
  std::error_code error;
  real = RealPath(name, error);
  if (error) return false;
  const auto [inRoot, below] = std::mismatch(root.begin(), root.end(), real.begin(), real.end());
  if (inRoot != root.end()) return false;
  return std::all_of(below, real.end(), [](const fs::path& part) {
    return !IsHiddenName(PathText(part));
  });
}

}  // namespace

UrlTarget ResolveUrlPath(const fs::path& root, const fs::path& site, const std::string& urlPath) {
  UrlTarget found;
  if (urlPath.empty() || urlPath.front() != '/' || urlPath.find('\0') != std::string::npos ||
      urlPath.find('\\') != std::string::npos) {
    return {{}, 403};
  }
  fs::path relative;
  std::size_t start = 1;
  while (start <= urlPath.size()) {
    std::size_t slash = urlPath.find('/', start);
    if (slash == std::string::npos) slash = urlPath.size();
    const std::string segment = urlPath.substr(start, slash - start);
    if (segment.empty() && slash != urlPath.size()) return {{}, 403};
    start = slash + 1;
    if (segment.empty()) continue;
    // A name as browsers send it, in UTF-8; where names are in the ANSI code page, its
    // characters, which must have a name there the plug-in can take.
    const std::optional<fs::path> name = NameFromUtf8(segment);
    if (!name) return {{}, 404};
    if (const int status = Refusal(segment, *name)) return {{}, status};
    relative /= *name;
  }
  std::error_code error;
  fs::path real;
  if (!fs::exists(root / relative, error)) return {{}, 404};
  if (!Inside(root, root / relative, real)) return {{}, 403};
  found.path = site / relative;
  if (fs::is_directory(real, error)) {
    if (urlPath.back() != '/') return {{}, 301, urlPath + "/"};
    for (const char* index : {"index.html", "index.htm"}) {
      if (fs::is_regular_file(real / index, error)) {
        fs::path page;
        if (!Inside(root, real / index, page)) return {{}, 403};
        found.path /= index;
        return found;
      }
    }
    return {{}, 404};
  }
  if (!fs::is_regular_file(real, error)) return {{}, 404};
  if (urlPath.back() == '/') return {{}, 301, urlPath.substr(0, urlPath.find_last_not_of('/') + 1)};
  return found;
}

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string UrlDecoded(std::string_view text, bool query) {
  std::string plain;
  plain.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const int high = text[i] == '%' && i + 2 < text.size() ? HexDigit(text[i + 1]) : -1;
    const int low = high >= 0 ? HexDigit(text[i + 2]) : -1;
    if (low >= 0) {
      plain += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      plain += query && text[i] == '+' ? ' ' : text[i];
    }
  }
  return plain;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string ContentType(const fs::path& path) {
  static const std::map<std::string, std::string> types = {
      {".html", "text/html"}, {".htm", "text/html"}, {".css", "text/css"},
      {".js", "text/javascript"}, {".mjs", "text/javascript"}, {".json", "application/json"},
      {".csv", "text/csv"}, {".txt", "text/plain"}, {".ini", "text/plain"},
      {".svg", "image/svg+xml"}, {".png", "image/png"}, {".jpg", "image/jpeg"},
      {".jpeg", "image/jpeg"}, {".gif", "image/gif"}, {".webp", "image/webp"},
      {".ico", "image/vnd.microsoft.icon"}, {".woff", "font/woff"}, {".woff2", "font/woff2"},
      {".pdf", "application/pdf"}, {".xml", "application/xml"}};
  const auto it = types.find(Lower(path.extension().string()));
  return it == types.end() ? "application/octet-stream" : it->second;
}

std::string Token(const fs::path& page, const std::vector<Input>& inputs) {
  std::string text = StampOf(page, false).Text();
  for (const Input& input : inputs) text += " " + StampOf(input.path, false).Text();
  char word[17];
  std::snprintf(word, sizeof word, "%016llx", static_cast<unsigned long long>(Fnv1a(text)));
  return word;
}

std::string ReloadScript(const std::string& token) {
  return "<script>/* gridloom serve: reloads the page when its files change */(function(){"
         "var t=\"" + token + "\",p=decodeURIComponent(location.pathname);function ask(){fetch(\"" +
         std::string(kStampPath) +
         "?page=\"+encodeURIComponent(p),{cache:\"no-store\"}).then(function(r){return "
         "r.ok?r.text():t}).then(function(s){if(s!==t)location.reload();else "
         "setTimeout(ask," + std::to_string(kPollMilliseconds) +
         ")},function(){setTimeout(ask,1000)})}setTimeout(ask," +
         std::to_string(kPollMilliseconds) + ")})();</script>";
}

void Inject(std::string& page, const std::string& script) {
  const std::string lower = Lower(page);
  std::size_t body = std::string::npos;
  for (std::size_t at = 0; at < lower.size();) {
    const std::size_t comment = lower.find("<!--", at);
    const std::size_t end = comment == std::string::npos ? lower.size() : comment;
    for (std::size_t found = lower.find("</body>", at); found != std::string::npos &&
                                                        found + 7 <= end;
         found = lower.find("</body>", found + 1)) {
      body = found;
    }
    const std::size_t close =
        comment == std::string::npos ? std::string::npos : lower.find("-->", comment + 4);
    if (close == std::string::npos) break;
    at = close + 3;
  }
  page.insert(body == std::string::npos ? page.size() : body, script);
}

std::string CharsetLabel(const Encodings& encodings) {
  if (IsUtf8Name(encodings.pageName)) return "utf-8";
  if (encodings.page == "CP932") return "Shift_JIS";
  return encodings.pageName;
}

bool HostIsOurs(const std::string& host, const std::string& bind, int port) {
  std::string name = Lower(host), given;
  const std::size_t colon = name.rfind(':');
  if (colon != std::string::npos && name.find(']', colon) == std::string::npos) {
    given = name.substr(colon + 1);
    name.resize(colon);
  }
  if (!given.empty() && given != std::to_string(port)) return false;
  const std::string bound = bind.find(':') == std::string::npos ? bind : "[" + bind + "]";
  if (name == "127.0.0.1" || name == "localhost" || name == "[::1]" || name == Lower(bound)) {
    return true;
  }
  if (bind != "0.0.0.0" && bind != "::") return false;
  unsigned char address[16];
  if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
    return inet_pton(AF_INET6, name.substr(1, name.size() - 2).c_str(), address) == 1;
  }
  return inet_pton(AF_INET, name.c_str(), address) == 1;
}

}  // namespace gridloom::host

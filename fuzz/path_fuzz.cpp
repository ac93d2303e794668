// The files serve answers for URL paths (ResolveUrlPath), on a small site in a scratch folder:
// files and folders, a dot-name, .well-known, an office lock file, symlinks that stay inside,
// symlinks that lead to hidden names inside (a file, a folder) and symlinks that lead out (to
// a file, to the folder above, to a folder whose name starts with the site's), and an index
// page that leads out. The site is named through a symlink, as a user may name
// it. Each input is tried as it comes and percent-decoded by the server's own UrlDecoded (the
// server decodes before it resolves, and a raw path must be as safe).
//
// Every answer is 200, 301, 403 or 404. A 200 names a regular file whose canonical path lies
// below the site's canonical folder, where neither that path nor the name asked for goes
// through a hidden name (a dot-name but .well-known, or an office lock file's ~$); a 301
// sends to the same path with its final slash added or taken away. And the site's own files,
// asked for by their names, are answered.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <system_error>

#include "fuzz_files.h"
#include "preview.h"

namespace {

namespace fs = std::filesystem;
using gridloom::host::ResolveUrlPath;
using gridloom::host::UrlTarget;

struct Site {
  fs::path named;          // the site as it is given: through a symlink
  fs::path root;           // its canonical path
  std::string rootPrefix;  // root as text, with a final slash
  // Paths that must be answered, with the file each names below the site.
  std::map<std::string, std::string> served;
};

const Site& TheSite() {
  static const Site site = [] {
    using gridloom::fuzz::WriteScratch;
    const fs::path scratch = gridloom::fuzz::ScratchDir();
    WriteScratch("outside.txt", "outside\n");
    WriteScratch("outside/index.html", "outside\n");
    WriteScratch("site-other/x.html", "a neighbour\n");
    WriteScratch("site/index.html", "<p>index</p>\n");
    WriteScratch("site/t.csv", "a,b\r\n");
    WriteScratch("site/style.css", "p{}\n");
    WriteScratch("site/.secret", "hidden\n");
    WriteScratch("site/.git/config", "hidden\n");
    WriteScratch("site/~$t.csv", "a lock file\n");
    WriteScratch("site/.well-known/security.txt", "Contact: x\n");
    WriteScratch("site/sub/index.htm", "sub\n");
    WriteScratch("site/sub/page.html", "page\n");
    WriteScratch("site/a b/index.html", "space\n");
    WriteScratch("site/%2e%2e", "a name of percent signs\n");
    WriteScratch("site/noindex/x.txt", "x\n");
    fs::create_directories(scratch / "site/empty");
    fs::create_directories(scratch / "site/leaks");
    fs::create_symlink("../outside.txt", scratch / "site/out.txt");
    fs::create_symlink("style.css", scratch / "site/in.css");
    fs::create_symlink("..", scratch / "site/up");
    fs::create_symlink("../site-other", scratch / "site/sib");
    fs::create_symlink("sub", scratch / "site/insub");
    fs::create_symlink(".secret", scratch / "site/pub.txt");
    fs::create_symlink(".git", scratch / "site/git");
    fs::create_symlink("~$t.csv", scratch / "site/lock.csv");
    fs::create_symlink("nowhere", scratch / "site/dangling");
    fs::create_symlink("../../outside.txt", scratch / "site/leaks/index.html");
    fs::create_symlink("site", scratch / "named");
    Site s;
    s.named = scratch / "named";
    s.root = fs::canonical(scratch / "site");
    s.rootPrefix = s.root.string() + "/";
    s.served = {{"/", "index.html"},
                {"/index.html", "index.html"},
                {"/t.csv", "t.csv"},
                {"/style.css", "style.css"},
                {"/in.css", "style.css"},
                {"/.well-known/security.txt", ".well-known/security.txt"},
                {"/sub/", "sub/index.htm"},
                {"/sub/page.html", "sub/page.html"},
                {"/insub/page.html", "sub/page.html"},
                {"/a b/", "a b/index.html"},
                {"/%2e%2e", "%2e%2e"},
                {"/noindex/x.txt", "noindex/x.txt"}};
    return s;
  }();
  return site;
}

bool Hidden(std::string_view segment) {
  return (segment.starts_with('.') && segment != ".well-known") || segment.starts_with("~$");
}

// Whether a path below a folder, given as the text after the folder's slash, goes through a
// hidden name.
bool ThroughHidden(std::string_view below) {
  while (!below.empty()) {
    const std::size_t slash = below.find('/');
    if (Hidden(below.substr(0, slash))) return true;
    below.remove_prefix(slash == std::string_view::npos ? below.size() : slash + 1);
  }
  return false;
}

[[noreturn]] void Fail(const char* what, const std::string& urlPath) {
  std::fprintf(stderr, "URL path: %s: ", what);
  for (const char c : urlPath) {
    const auto byte = static_cast<unsigned char>(c);
    std::fprintf(stderr, byte >= 0x20 && byte < 0x7f ? "%c" : "\\x%02x", byte);
  }
  std::fprintf(stderr, "\n");
  std::abort();
}

void Check(const std::string& urlPath) {
  const Site& site = TheSite();
  const UrlTarget found = ResolveUrlPath(site.root, site.named, urlPath);
  const auto served = site.served.find(urlPath);
  if (served != site.served.end() && found.status != 200)
    Fail("a file of the site is refused", urlPath);
  switch (found.status) {
    case 200: break;
    case 301: {
      if (!found.path.empty()) Fail("a redirection names a file", urlPath);
      std::string bare = urlPath;
      while (!bare.empty() && bare.back() == '/') bare.pop_back();
      if (found.location != urlPath + "/" && found.location != bare)
        Fail("redirected elsewhere than to the path with or without its final slash", urlPath);
      if (found.location.empty() || found.location.front() != '/')
        Fail("redirected to a path that does not start with /", urlPath);
      return;
    }
    case 403:
    case 404:
      if (!found.path.empty()) Fail("a refusal names a file", urlPath);
      return;
    default: Fail("an answer that is none of 200, 301, 403, 404", urlPath);
  }

  // Below the site as it was named, through no hidden name.
  const std::string named = site.named.string() + "/";
  const std::string path = found.path.string();
  if (path.compare(0, named.size(), named) != 0 && path + "/" != named)
    Fail("the file is not named below the site", urlPath);
  if (ThroughHidden(std::string_view(path).substr(std::min(path.size(), named.size()))))
    Fail("a file reached through a hidden name", urlPath);
  // And what it leads to, through every symlink, lies in the site.
  std::error_code error;
  const fs::path real = fs::canonical(found.path, error);
  if (error) Fail("the file answered does not exist", urlPath);
  if (!fs::is_regular_file(real, error)) Fail("the file answered is not a regular file", urlPath);
  if (real.string().compare(0, site.rootPrefix.size(), site.rootPrefix) != 0)
    Fail("the file answered lies outside the site", urlPath);
  if (ThroughHidden(std::string_view(real.string()).substr(site.rootPrefix.size())))
    Fail("a link leads to a hidden file", urlPath);
  if (served != site.served.end() && real != fs::canonical(site.root / served->second))
    Fail("a file of the site is answered with another", urlPath);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::string raw(reinterpret_cast<const char*>(bytes), size);
  Check(raw);
  const std::string decoded = gridloom::host::UrlDecoded(raw, false);  // as the server does
  if (decoded != raw) Check(decoded);
  return 0;
}

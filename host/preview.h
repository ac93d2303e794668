// What the preview server adds to what expand makes, apart from HTTP: which file a URL path
// names, the reload script in pages, the types and charset of answers, and which Host names
// are its own.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "build_state.h"
#include "page.h"

namespace gridloom::host {

// The address of the reload script's questions; a name no file can take, as the server
// refuses every path with a segment that starts with a dot.
inline constexpr std::string_view kStampPath = "/.gridloom/stamp";

// How often an open page asks whether its files changed, in milliseconds.
inline constexpr int kPollMilliseconds = 250;

// What a URL path (percent-decoded) names below the site.
struct UrlTarget {
  // The file, below the site as it was named (for the plug-in's base directory and messages).
  std::filesystem::path path;
  int status = 200;        // 200, or 301, 403, 404 with no path
  std::string location{};  // for a redirection (301): the URL path to go to
};

// The file a URL path names below the site. Refused: NUL, backslashes, empty, dot and dot-dot
// segments and names that start with a dot but .well-known (403); what leads out of the site
// through a symlink (403); what does not exist, or is neither a regular file nor a folder with an
// index page (404). A folder named without its final slash is sent there, and a file named
// with one is sent to its name (301), so that the links in it work. root: the site's canonical
// path; site: the site as it was named.
UrlTarget ResolveUrlPath(const std::filesystem::path& root, const std::filesystem::path& site,
                         const std::string& urlPath);

// Text of a URL with its %XX escapes decoded (in a query also + as a space); a % that starts
// no escape stays as it is.
std::string UrlDecoded(std::string_view text, bool query);

// ASCII letters in lower case.
std::string Lower(std::string text);

// The Content-Type of a file that is not a page, by its extension.
std::string ContentType(const std::filesystem::path& path);

// One word for the state of a page's files, which the reload script compares with the one
// its page was made with.
std::string Token(const std::filesystem::path& page, const std::vector<Input>& inputs);

// The script that reloads a page when the word for its files changes.
std::string ReloadScript(const std::string& token);

// Puts the script before the last </body> outside a comment, or at the end of a page that
// has none.
void Inject(std::string& page, const std::string& script);

// The charset of pages as browsers name it, for their Content-Type.
std::string CharsetLabel(const Encodings& encodings);

// Whether a Host header names this server: the address it listens on or a name of the
// loopback, with its port or none. A page of another site whose name was made to lead here
// (DNS rebinding) sends that name, and is refused. Listening on every address, any address
// written as numbers is this server's; a name still is not.
bool HostIsOurs(const std::string& host, const std::string& bind, int port);

}  // namespace gridloom::host

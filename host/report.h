// What the command tells its user: exit statuses, messages on standard error and what goes
// to standard output. Every message of the command goes through here.
//
// The host's one convention for failures: what cannot be done throws, at the edge of the
// module that found it, an IoError (a file or stream; its message names it and gives the
// system's reason) or a UsageError (the command line asks for what cannot be); the command
// that runs reports it here and answers its exit status. Questions that have a reason for an
// answer ("why can this file not be read?") answer the reason, empty when there is none.
#pragma once

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace gridloom::host {

// Exit statuses of the gridloom command.
enum ExitStatus : int { kOk = 0, kNoTable = 1, kUsage = 2, kIoFailure = 3 };

// What the command line asks for and cannot have: the message, said as it is; status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Messages on standard error, each on a line after "gridloom: ", in the encoding of the names
// in them: UTF-8 on POSIX, the ANSI code page on Windows. The three kinds read alike; they
// differ in what they mean for the run.
void Error(const std::string& message);    // something failed: the exit status says so
void Warning(const std::string& message);  // something is left out or kept as it was
void Note(const std::string& message);     // what the command did or does, for information

// Standard output: bytes as they are (a page), text in a code page (0: the ANSI code page,
// 65001: UTF-8) as messages are written (check's report, info: characters on a Windows
// console), or UTF-16 as UTF-8 (a table). False after the
// error "cannot write standard output: REASON" is reported.
bool PrintBytes(std::string_view data);
bool PrintText(std::string_view text, unsigned codePage = 0);
bool PrintUtf8(std::u16string_view text);
// The same for a write to standard output made elsewhere: error is its errno, or 0.
bool Printed(int error);

// The progress line of a long run on a terminal: pages done of all, tables, rate; drawn at
// most ten times a second, and cleared before other messages. Not for concurrent use: the
// caller holds a lock.
class Progress {
 public:
  Progress(bool enabled, std::size_t pages) : enabled_(enabled), pages_(pages) {}

  void PageDone(std::size_t tables);
  void Clear() const;  // before other output
  void Finish();

 private:
  using Clock = std::chrono::steady_clock;
  void Draw(Clock::time_point now);

  bool enabled_;
  std::size_t pages_;
  std::size_t done_ = 0, tables_ = 0;
  bool shown_ = false;
  Clock::time_point start_ = Clock::now(), drawn_{};
};

// What a usage error adds to point at the help.
inline constexpr const char* kSeeHelp = " (see gridloom --help)";

}  // namespace gridloom::host

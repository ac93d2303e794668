#include "report.h"

#include <cstdio>

#include "text_io.h"

namespace gridloom::host {

namespace {

void Say(const std::string& message) {
  WriteText(kStandardError, "gridloom: " + message + "\n", 0);
}

}  // namespace

bool Printed(int error) {
  if (error == 0) return true;
  Error("cannot write standard output: " + Reason(error));
  return false;
}

void Error(const std::string& message) { Say(message); }
void Warning(const std::string& message) { Say(message); }
void Note(const std::string& message) { Say(message); }

bool PrintBytes(std::string_view data) {
  std::fflush(stdout);
  return Printed(WriteAll(kStandardOutput, data));
}

bool PrintText(std::string_view text, unsigned codePage) {
  std::fflush(stdout);
  return Printed(WriteText(kStandardOutput, text, codePage));
}

bool PrintUtf8(std::u16string_view text) {
  std::fflush(stdout);
  return Printed(WriteUtf8(kStandardOutput, text));
}

void Progress::PageDone(std::size_t tables) {
  ++done_;
  tables_ += tables;
  const auto now = Clock::now();
  if (enabled_ && (now - drawn_ > std::chrono::milliseconds(100) || done_ == pages_)) {
    drawn_ = now;
    Draw(now);
  }
}

void Progress::Clear() const {
  if (enabled_ && shown_) std::fputs("\r\033[K", stderr);
}

void Progress::Finish() {
  if (enabled_ && shown_) std::fputc('\n', stderr);
}

void Progress::Draw(Clock::time_point now) {
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(done_) / seconds : 0;
  std::fprintf(stderr, "\r\033[Kgridloom: %zu/%zu pages, %zu tables, %.0f pages/s", done_,
               pages_, tables_, rate);
  std::fflush(stderr);
  shown_ = true;
}

}  // namespace gridloom::host

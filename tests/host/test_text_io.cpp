// Charset conversion and atomic file writes of the host.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <process.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "text_io.h"

namespace gridloom::host {
namespace {

#ifdef _WIN32
int ProcessId() { return _getpid(); }
#else
int ProcessId() { return getpid(); }
#endif

TEST(WideEncoder, CharactersTheCharsetLacksBecomeReferences) {
  struct Case {
    const char* charset;
    std::u16string text;
    std::string expected;
  };
  const Case cases[] = {
      {"UTF-8", u"<td>\u8868</td>", "<td>\xE8\xA1\xA8</td>"},
      {"UTF-8", u"a\U0001F600b", "a\xF0\x9F\x98\x80" "b"},
      {"UTF-8", u"", ""},
      {"SHIFT_JIS", u"\u8868x", "\x95\x5Cx"},
      {"SHIFT_JIS", u"caf\u00E9 \u8868", "caf&#233; \x95\x5C"},
      {"SHIFT_JIS", u"\U0001F600", "&#128512;"},
      {"ISO-8859-1", u"\u20AC5", "&#8364;5"},
      {"UTF-8", std::u16string(u"a") + char16_t(0xD800) + u"b", "a&#65533;b"},  // lone surrogate
      {"SHIFT_JIS", std::u16string(u"x") + char16_t(0xDC00), "x&#65533;"},
      // A long run that converts, then two characters that do not.
      {"SHIFT_JIS", std::u16string(5000, u'\u8868') + u"\u00E9\U0001F600x",
       [] {
         std::string bytes;
         for (int i = 0; i < 5000; ++i) bytes += "\x95\x5C";
         return bytes + "&#233;&#128512;x";
       }()},
  };
  for (const Case& c : cases) {
    WideEncoder encoder(c.charset);
    EXPECT_EQ(encoder.Encode(c.text), c.expected) << c.charset;
  }
}

#ifndef _WIN32  // iconv's own UTF-8 is the reference
// The UTF-8 fast path gives what iconv gives (reached here under another name of UTF-8):
// ASCII runs of every length between characters of every length, surrogate pairs, lone
// surrogates; and every code unit.
TEST(WideEncoder, Utf8FastPathMatchesIconv) {
  std::mt19937 random(7);
  const char16_t pieces[] = {u'a', u'<', u'\u00E9', u'\u07FF', u'\u0800', u'\u8868',
                             u'\uFFFF', 0xD83D, 0xDE00, 0xDC00, 0xDBFF, u'\u0080', u'\u3042'};
  WideEncoder viaIconv("ISO-10646/UTF8/");
  for (int round = 0; round < 4000; ++round) {
    std::u16string text;
    const unsigned asciiRuns = round % 2 == 0 ? 20 : 3;  // sparse or dense other characters
    for (int n = static_cast<int>(random() % 120); n > 0; --n) {
      if (random() % 2) {
        text.append(random() % asciiRuns, u'x');
      } else {
        text += pieces[random() % std::size(pieces)];
      }
    }
    ASSERT_EQ(EncodeUtf8(text), viaIconv.Encode(text)) << "round " << round;
  }
  std::u16string every;
  for (unsigned unit = 0; unit < 0x10000; ++unit) every += static_cast<char16_t>(unit);
  EXPECT_EQ(EncodeUtf8(every), viaIconv.Encode(every));
}

#endif

TEST(WideEncoder, LongTextGrowsTheBuffer) {
  std::u16string text;
  std::string expected;
  for (int i = 0; i < 5000; ++i) {
    text += u"\u00E9\u8868";
    expected += "&#233;\x95\x5C";
  }
  WideEncoder encoder("SHIFT_JIS");
  EXPECT_EQ(encoder.Encode(text), expected);
}

TEST(Recoder, ConvertsOrRefuses) {
  struct Case {
    const char* from;
    const char* to;
    std::string text;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"UTF-8", "CP932", "\xE8\xA1\xA8.csv", "\x95\x5C.csv"},
      {"CP932", "UTF-8", "\x95\x5C", "\xE8\xA1\xA8"},
      {"UTF-8", "CP932", "caf\xC3\xA9", std::nullopt},  // no é in code page 932
      {"UTF-8", "UTF-8", "\xE8\xA1\xA8 kept", "\xE8\xA1\xA8 kept"},
      {"UTF-8", "UTF-8", "\xFF is no UTF-8", std::nullopt},  // checked, though the same
      {"CP932", "CP932", "\x95\x5C", "\x95\x5C"},
      {"UTF-8", "CP1252", "\xE2\x82\xAC", "\x80"},
      {"UTF-8", "CP932", "", ""},
      {"UTF-8", "UTF-16LE", "a\xE8\xA1\xA8", std::string("a\0\x68\x88", 4)},
      {"UTF-16BE", "SHIFT_JIS", std::string("\x88\x68\0x", 4), "\x95\x5Cx"},
      {"UTF-16BE", "UTF-16LE", std::string("\0a\x88\x68", 4), std::string("a\0\x68\x88", 4)},
      {"UTF-16LE", "UTF-8", std::string("\0\xD8x\0", 4), std::nullopt},  // a lone surrogate
      {"CP932", "UTF-8", "\x95", std::nullopt},                               // half a character
      {"ISO-8859-1", "UTF-8", "\xE9", "\xC3\xA9"},
      {"UTF-8", "windows-1252", "\xE2\x82\xAC", "\x80"},
      {"EUC-JP", "UTF-8", "\xC9\xBD", "\xE8\xA1\xA8"},
      {"Shift_JIS", "EUC-JP", "\x95\x5C", "\xC9\xBD"},
  };
  for (const Case& c : cases) {
    Recoder recoder(c.from, c.to);
    EXPECT_EQ(recoder.Convert(c.text), c.expected) << c.from << " to " << c.to << ": " << c.text;
  }
  EXPECT_THROW(Recoder("UTF-8", "NO-SUCH-CHARSET"), std::invalid_argument);
  EXPECT_EQ(CodePageCharset(65001), "UTF-8");
  EXPECT_EQ(CodePageCharset(932), "CP932");
  // Pages in any spelling of Shift_JIS are read in code page 932, with its NEC extensions.
  for (const char* name : {"Shift_JIS", "shift-jis", "SJIS", "MS_Kanji", "csShiftJIS"}) {
    EXPECT_EQ(Recoder(PageCharset(name), "UTF-8").Convert("\x87\x40"), "\xE2\x91\xA0") << name;
  }
  EXPECT_EQ(PageCharset("EUC-JP"), "EUC-JP");
}

TEST(WriteFileAtomic, ReplacesOrLeavesTheOldFile) {
  namespace fs = std::filesystem;
  const fs::path dir =
      fs::temp_directory_path() / ("gridloom-text-io-" + std::to_string(ProcessId()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path file = dir / "page.html";
  WriteFileAtomic(file, "old");
  WriteFileAtomic(file, "new text");
  EXPECT_EQ(ReadFile(file), "new text");

  // A folder in the way of the target, a folder that is not there, names that cannot be a
  // file: each is refused with its reason, and nothing is left behind.
  fs::create_directories(dir / "taken");
  fs::create_directories(dir / "taken" / "x");
  const std::string shown = PathText(dir);
  struct Refused {
    std::function<void()> act;
    std::string message;
  };
  std::vector<Refused> refused = {
      {[&] { WriteFileAtomic(dir / "taken", "data"); },
       "cannot write " + shown + "/taken: Is a directory"},
      {[&] { WriteFileAtomic(dir / "missing" / "page.html", "data"); },
       "cannot write " + shown + "/missing/page.html: No such file or directory"},
      {[&] { ReadFile(dir / "missing.html"); },
       "cannot read " + shown + "/missing.html: No such file or directory"},
      {[&] { ReadFile(dir); }, "cannot read " + shown + ": Is a directory"},
      {[&] { WriteFileAtomic("", "data"); }, "cannot write '': the name is empty"},
      {[&] { WriteFileAtomic(dir.string() + "/taken/", "data"); },
       "cannot write " + shown + "/taken/: Is a directory"},
      {[&] { WriteFileAtomic(dir.string() + "/new/", "data"); },
       "cannot write " + shown + "/new/: a name ending in / names a folder, not a file"},
      {[&] { WriteFileAtomic(dir / "taken", "data", nullptr, Existing::kReplace); },
       "cannot write " + shown + "/taken: Is a directory"},
  };
#ifndef _WIN32
  fs::create_symlink("loop", dir / "loop");
  fs::create_symlink("taken", dir / "to-folder");
  refused.push_back({[&] { WriteFileAtomic(dir / "loop", "data"); },
                     "cannot write " + shown + "/loop: Too many levels of symbolic links"});
  refused.push_back({[&] { WriteFileAtomic(dir / "to-folder", "data"); },
                     "cannot write " + shown + "/to-folder: Is a directory"});
#endif
  for (const Refused& r : refused) {
    try {
      r.act();
      ADD_FAILURE() << "no error, where one says: " << r.message;
    } catch (const IoError& error) {
      EXPECT_EQ(error.what(), r.message);
    }
  }
#ifndef _WIN32
  fs::remove(dir / "loop");
  fs::remove(dir / "to-folder");
#endif
  // What the handlers of Ctrl+C and the signals do while an output is being written: the
  // temporary file goes at once (on Windows it is open for writing, shared for deletion),
  // and the old file stays.
  InstallSignalCleanup(2);
  std::size_t removed = 0;
  std::vector<std::string> temporary;  // what the folder held besides while it was written
  EXPECT_THROW(WriteFileAtomic(file,
                               [&](int) {
                                 for (const auto& entry : fs::directory_iterator(dir)) {
                                   const std::string name = entry.path().filename().string();
                                   if (name != "page.html" && name != "taken") {
                                     temporary.push_back(name);
                                   }
                                 }
                                 removed = RemoveTemporaryFiles();
                                 return EINTR;
                               }),
               IoError);
  EXPECT_EQ(removed, 1u);
  // One hidden file of ours beside the output, named as a leftover of ours is found by.
  ASSERT_EQ(temporary.size(), 1u);
  EXPECT_TRUE(temporary[0].starts_with(".gridloom-")) << temporary[0];
  EXPECT_EQ(temporary[0].size(), std::string(".gridloom-").size() + 12) << temporary[0];
  EXPECT_EQ(temporary[0].find_first_not_of("0123456789abcdef", 10), std::string::npos)
      << temporary[0];
  EXPECT_EQ(ReadFile(file), "new text");
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) ++entries;
  EXPECT_EQ(entries, 2u);  // page.html and taken
  fs::remove_all(dir);
}

#ifndef _WIN32  // symlinks, FIFOs and devices, pipes
// What each kind of output name gets: the file it leads to is replaced or written into, the
// name itself stays what it was, and no temporary file is left.
TEST(WriteFileAtomic, EachKindOfOutput) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("gridloom-kinds-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "sub");
  struct Kind {
    const char* name;
    std::function<fs::path()> make;  // answers the output name
    fs::path written;                // the file that must hold the data
    Existing existing = Existing::kWriteThrough;
    fs::path kept = {};  // a file that must still hold "old"
  };
  const std::string longName(255, 'n');
  const std::vector<Kind> kinds = {
      {"new file", [&] { return dir / "new.html"; }, dir / "new.html"},
      {"name of 255 bytes", [&] { return dir / longName; }, dir / longName},
      {"relative symlink",
       [&] {
         WriteFileAtomic(dir / "sub/target.html", "old");
         fs::create_symlink("sub/target.html", dir / "link.html");
         return dir / "link.html";
       },
       dir / "sub/target.html"},
      {"symlink to a symlink, to a file not made yet",
       [&] {
         fs::create_symlink("sub/later.html", dir / "l1");
         fs::create_symlink(dir / "l1", dir / "l2");
         return dir / "l2";
       },
       dir / "sub/later.html"},
      {"symlink replaced by name: it becomes a file, its target stays",
       [&] {
         WriteFileAtomic(dir / "sub/kept.html", "old");
         fs::create_symlink("sub/kept.html", dir / "own.html");
         return dir / "own.html";
       },
       dir / "own.html", Existing::kReplace, dir / "sub/kept.html"},
      {"symlink to a folder replaced by name: the folder stays",
       [&] {
         fs::create_directories(dir / "sub/deep");
         WriteFileAtomic(dir / "sub/deep/kept.html", "old");
         fs::create_symlink(dir / "sub/deep", dir / "deep.html");
         return dir / "deep.html";
       },
       dir / "deep.html", Existing::kReplace, dir / "sub/deep/kept.html"},
      {"file replaced by name", [&] {
         WriteFileAtomic(dir / "plain.html", "old");
         return dir / "plain.html";
       },
       dir / "plain.html", Existing::kReplace},
  };
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.name);
    const fs::path output = kind.make();
    const auto before = fs::symlink_status(output).type();
    WriteFileAtomic(output, "data", nullptr, kind.existing);
    EXPECT_EQ(ReadFile(kind.written), "data");
    if (kind.existing == Existing::kReplace) {
      EXPECT_EQ(fs::symlink_status(output).type(), fs::file_type::regular);
    } else if (before != fs::file_type::not_found) {
      EXPECT_EQ(fs::symlink_status(output).type(), before);
    }
    if (!kind.kept.empty()) {
      EXPECT_EQ(ReadFile(kind.kept), "old");
    }
  }

  // A copy keeps its source's mode and modification time.
  const fs::path source = dir / "run.cgi";
  WriteFileAtomic(source, "#!/bin/sh\n");
  fs::permissions(source, fs::perms(0750));
  const auto then = fs::last_write_time(source) - std::chrono::hours(50);
  fs::last_write_time(source, then);
  WriteFileAtomic(dir / "copy.cgi", ReadFile(source), &source);
  EXPECT_EQ(fs::status(dir / "copy.cgi").permissions(), fs::perms(0750));
  EXPECT_EQ(fs::last_write_time(dir / "copy.cgi"), then);
  // A file written again keeps its mode, but not its time.
  WriteFileAtomic(source, "#!/bin/sh\nexit 0\n");
  EXPECT_EQ(fs::status(source).permissions(), fs::perms(0750));
  EXPECT_NE(fs::last_write_time(source), then);

  // A FIFO is written into: a reader on a thread gets the data, and the FIFO stays.
  const fs::path fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string got;
  std::thread reader([&] { got = ReadFile(fifo); });
  WriteFileAtomic(fifo, "through the pipe");
  reader.join();
  EXPECT_EQ(got, "through the pipe");
  EXPECT_EQ(fs::symlink_status(fifo).type(), fs::file_type::fifo);

  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    EXPECT_FALSE(entry.path().filename().string().starts_with(".gridloom-")) << entry.path();
  }
  fs::remove_all(dir);
}

TEST(TempCopy, HoldsWhatTheDescriptorGaveUntilDestroyed) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  std::thread writer([&] {
    EXPECT_EQ(WriteAll(pipeFds[1], "a,b\r\n"), 0);
    close(pipeFds[1]);
  });
  std::string path;
  {
    const TempCopy copy(pipeFds[0], "standard input");
    writer.join();
    path = copy.Path();
    EXPECT_EQ(ReadFile(path), "a,b\r\n");
    EXPECT_EQ(ReadFile(path), "a,b\r\n");  // read again: a regular file
  }
  close(pipeFds[0]);
  EXPECT_FALSE(std::filesystem::exists(path));
}

// Texts of one piece and of several, with a surrogate pair across the edge of a piece and
// across the middle of a long text: the file holds what EncodeUtf8 gives, and a write after
// it follows it. A file descriptor that cannot be written reports its
// error.
TEST(WriteUtf8, WritesEveryPieceInOrder) {
  namespace fs = std::filesystem;
  const fs::path file =
      fs::temp_directory_path() / ("gridloom-write-utf8-" + std::to_string(getpid()));
  constexpr std::size_t kPiece = std::size_t{1} << 18;
  std::mt19937 random(7);
  // The last size is long enough for its second half to be encoded on a thread of its own.
  for (const std::size_t size : {std::size_t{10}, kPiece, 3 * kPiece + 5, 9 * kPiece + 3}) {
    std::u16string text(size, u'a');
    for (char16_t& unit : text) unit = static_cast<char16_t>(u'a' + random() % 26);
    for (std::size_t i = 1000; i < size; i += 7919) text[i] = u'\u8868';
    if (size > kPiece) text.replace(kPiece - 1, 2, u"\U0001F600");
    if (size > 8 * kPiece) text.replace(size / 2 - 1, 2, u"\U0001F601");  // across the halves
    WriteFileAtomic(file, [&text](int fd) {
      const int error = WriteUtf8(fd, text);
      return error != 0 ? error : WriteAll(fd, "|after");  // where the file stands after it
    });
    EXPECT_EQ(ReadFile(file), EncodeUtf8(text) + "|after") << size << " units";

    const int readOnly = open(file.c_str(), O_RDONLY);
    ASSERT_GE(readOnly, 0);
    EXPECT_EQ(WriteUtf8(readOnly, text), EBADF) << size << " units";
    close(readOnly);
  }
  fs::remove(file);
}

#endif

}  // namespace
}  // namespace gridloom::host

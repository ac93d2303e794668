// Asks the Windows API questions and prints the answers, one line per question. Built for
// Windows it asks the real API (under Wine); built natively it asks our stand-ins. The
// answers of both must be the same lines: answers.txt holds those recorded under Wine.
//
// usage: winapi_probe DATA_DIR < questions.txt
// Questions, fields separated by '|', text fields may hold \xHH escapes:
//   mb|CP|HEX         MultiByteToWideChar of the bytes; "mb|CP|HEX|nul" appends a NUL and
//                     passes -1 as the length
//   mbtable|CP        a digest of the conversion of every byte and every two-byte sequence
//   wctable|CP        a digest of WideCharToMultiByte (no flags) of every code unit, as the
//                     profile reader converts the values of UTF-8 and UTF-16 files, and how
//                     many failed
//   codepage|CP       the conversion of every byte, and of every two bytes whose first is 0x80
//                     or above (a line for each lead byte; each such byte in UTF-8), with
//                     runs written short: XXXX+YYYY for two units from one input, "-" for
//                     none, A*N for N answers A, A..B for answers whose last unit rises by
//                     one from A to B; and the bytes that IsDBCSLeadByteEx calls lead bytes,
//                     as ranges
//   profile|SIZE|FILE|SECTION|KEY|DEFAULT
//                     GetPrivateProfileStringA with FILE in DATA_DIR; "(null)" passes a null
//                     pointer. The answer: the count, and the whole buffer in hex when it
//                     is at most 64 bytes (filled with EE before the call), else the text up
//                     to its NUL (a digest when long)
//   realloc|TEXT|FROM|LENGTH
//                     SysReAllocStringLen of a BSTR of TEXT, from "self+N" (N units into
//                     it), "null" (the units kept) or another text; the answer gives the
//                     units the call defines
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "gridloom/winapi.h"

namespace {

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> fields(1);
  for (char c : line) {
    if (c == '|') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
      out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

std::string Hex(const void* data, std::size_t size) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < size; ++i) {
    const auto byte = static_cast<const unsigned char*>(data)[i];
    out += digits[byte >> 4];
    out += digits[byte & 15];
  }
  return out;
}

struct Digest {  // FNV-1a, 64 bits
  std::uint64_t value = 0xCBF29CE484222325ull;
  void Add(const void* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
      value ^= static_cast<const unsigned char*>(data)[i];
      value *= 0x100000001B3ull;
    }
  }
  std::string Text() const {
    char buffer[17];
    std::snprintf(buffer, sizeof buffer, "%016llX", static_cast<unsigned long long>(value));
    return buffer;
  }
};

std::string Convert(UINT codePage, const std::string& bytes, bool withNul) {
  WCHAR out[512];
  const int length = withNul ? -1 : static_cast<int>(bytes.size());
  const int count = MultiByteToWideChar(codePage, 0, bytes.c_str(), length, out, 512);
  const int query = MultiByteToWideChar(codePage, 0, bytes.c_str(), length, nullptr, 0);
  std::string answer = std::to_string(count);
  if (query != count) answer += " (query " + std::to_string(query) + ")";
  for (int i = 0; i < count; ++i) {
    char unit[8];
    std::snprintf(unit, sizeof unit, " %04X", static_cast<unsigned>(out[i]));
    answer += unit;
  }
  return answer;
}

std::string TableDigest(UINT codePage) {
  Digest digest;
  for (int lead = 0; lead < 256; ++lead) {
    for (int trail = -1; trail < 256; ++trail) {
      const char bytes[2] = {static_cast<char>(lead), static_cast<char>(trail)};
      WCHAR out[4];
      const int count = MultiByteToWideChar(codePage, 0, bytes, trail < 0 ? 1 : 2, out, 4);
      digest.Add(&count, 1);
      digest.Add(out, sizeof(WCHAR) * static_cast<unsigned>(count > 0 ? count : 0));
    }
  }
  return digest.Text();
}

// The units of converting each of the inputs, with runs written short: where the answers
// have the same number of units and differ only in the last, which stays or rises by one.
std::string Row(UINT codePage, const std::vector<std::string>& inputs) {
  std::vector<std::vector<unsigned>> answers;
  for (const std::string& input : inputs) {
    WCHAR out[4];
    const int count = MultiByteToWideChar(codePage, 0, input.data(),
                                          static_cast<int>(input.size()), out, 4);
    answers.emplace_back(out, out + (count > 0 ? count : 0));
  }
  const auto text = [](const std::vector<unsigned>& units) {
    if (units.empty()) return std::string("-");
    std::string out;
    for (const unsigned unit : units) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "%s%04X", out.empty() ? "" : "+", unit);
      out += hex;
    }
    return out;
  };
  // Whether b is a after `by` steps of the last unit (0: the same).
  const auto follows = [](const std::vector<unsigned>& a, const std::vector<unsigned>& b,
                          unsigned by) {
    return !a.empty() && a.size() == b.size() &&
           std::equal(a.begin(), a.end() - 1, b.begin()) && b.back() == a.back() + by;
  };
  std::string row;
  for (std::size_t i = 0; i < answers.size();) {
    std::size_t same = 1, rising = 1;
    while (i + same < answers.size() && follows(answers[i], answers[i + same], 0)) ++same;
    while (i + rising < answers.size() &&
           follows(answers[i], answers[i + rising], static_cast<unsigned>(rising)))
      ++rising;
    if (!row.empty()) row += ' ';
    if (same >= 3) {
      row += text(answers[i]) + "*" + std::to_string(same);
      i += same;
    } else if (rising >= 3) {
      row += text(answers[i]) + ".." + text(answers[i + rising - 1]);
      i += rising;
    } else {
      row += text(answers[i++]);
    }
  }
  return row;
}

std::string CodePage(const std::string& question, UINT codePage) {
  std::vector<std::string> singles;
  for (int b = 0; b < 256; ++b) singles.emplace_back(1, static_cast<char>(b));
  std::string answer = question + " singles => " + Row(codePage, singles) + '\n';
  std::string leads;
  for (int b = 0; b < 256; ++b) {
    if (!IsDBCSLeadByteEx(codePage, static_cast<BYTE>(b)) || (b > 0 && IsDBCSLeadByteEx(codePage, static_cast<BYTE>(b - 1))))
      continue;
    int last = b;
    while (last < 255 && IsDBCSLeadByteEx(codePage, static_cast<BYTE>(last + 1))) ++last;
    char range[16];
    std::snprintf(range, sizeof range, " %02X-%02X", b, last);
    leads += range;
  }
  answer += question + " leads =>" + (leads.empty() ? " none" : leads) + '\n';
  if (codePage == 65001 || !leads.empty()) {
    for (int first = 0x80; first < 256; ++first) {
      // Two bytes of which the first is no lead byte are the two apart: the singles say it.
      if (codePage != 65001 && !IsDBCSLeadByteEx(codePage, static_cast<BYTE>(first))) continue;
      std::vector<std::string> pairs;
      for (int second = 0; second < 256; ++second) {
        const char bytes[2] = {static_cast<char>(first), static_cast<char>(second)};
        pairs.emplace_back(bytes, 2);
      }
      char label[8];
      std::snprintf(label, sizeof label, " %02X", first);
      answer += question + label + " => " + Row(codePage, pairs) + '\n';
    }
  }
  answer.pop_back();
  return answer;
}

std::string WideTable(UINT codePage) {
  Digest digest;
  unsigned failed = 0;
  for (unsigned unit = 1; unit < 0x10000; ++unit) {
    const WCHAR wide = static_cast<WCHAR>(unit);
    char bytes[8];
    const int count = WideCharToMultiByte(codePage, 0, &wide, 1, bytes, sizeof bytes, nullptr,
                                          nullptr);
    digest.Add(&count, 1);
    digest.Add(bytes, static_cast<std::size_t>(count > 0 ? count : 0));
    failed += count <= 0;
  }
  return digest.Text() + (failed > 0 ? " (" + std::to_string(failed) + " failed)" : "");
}

// A text field, or null for "(null)".
const char* TextOrNull(const std::string& field, std::string& storage) {
  if (field == "(null)") return nullptr;
  storage = Unescape(field);
  return storage.c_str();
}

std::string Profile(const std::vector<std::string>& q, const std::string& dataDir) {
  const DWORD size = static_cast<DWORD>(std::stoul(q[1]));
  const std::string file = dataDir + "\\" + Unescape(q[2]);
  std::string section, key, fallback;
  // The buffer is filled with EE first: for small buffers the answer shows every byte of
  // it, so what the call wrote past its answer shows too.
  std::vector<char> buffer(size + 1, '\xEE');
  const DWORD count = GetPrivateProfileStringA(
      TextOrNull(q[3], section), TextOrNull(q[4], key), TextOrNull(q[5], fallback),
      buffer.data(), size, file.c_str());
  std::string answer = std::to_string(count) + " ";
  if (size <= 64) return answer + Hex(buffer.data(), size);
  std::size_t length = 0;
  while (length < size && buffer[length] != '\0') ++length;
  if (length > 64) {
    Digest digest;
    digest.Add(buffer.data(), length);
    return answer + std::to_string(length) + " bytes " + digest.Text();
  }
  return answer + Hex(buffer.data(), length);
}

std::string Realloc(const std::vector<std::string>& q) {
  const std::string text = Unescape(q[1]), from = q[2];
  const UINT length = static_cast<UINT>(std::stoul(q[3]));
  std::vector<OLECHAR> wide(text.begin(), text.end());
  wide.push_back(0);
  BSTR string = SysAllocString(wide.data());
  std::vector<OLECHAR> other(from.begin(), from.end());
  other.push_back(0);
  const OLECHAR* source = other.data();
  UINT defined = length;
  if (from == "null") {
    source = nullptr;
    defined = length < text.size() ? length : static_cast<UINT>(text.size());
  } else if (from.rfind("self+", 0) == 0) {
    source = string + std::stoul(from.substr(5));
  }
  const int ok = SysReAllocStringLen(&string, source, length);
  std::string answer = std::to_string(ok) + " " + std::to_string(SysStringLen(string)) + " ";
  for (UINT i = 0; i < defined; ++i) answer += static_cast<char>(string[i]);
  answer += string[SysStringLen(string)] == 0 ? " nul" : " no nul";
  SysFreeString(string);
  return answer;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: winapi_probe DATA_DIR < questions\n";
    return 2;
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::vector<std::string> q = Split(line);
    std::string answer;
    if (q[0] == "mb" && q.size() >= 3) {
      answer = Convert(static_cast<UINT>(std::stoul(q[1])), FromHex(q[2]),
                       q.size() > 3 && q[3] == "nul");
    } else if (q[0] == "mbtable" && q.size() == 2) {
      answer = TableDigest(static_cast<UINT>(std::stoul(q[1])));
    } else if (q[0] == "wctable" && q.size() == 2) {
      answer = WideTable(static_cast<UINT>(std::stoul(q[1])));
    } else if (q[0] == "codepage" && q.size() == 2) {
      std::cout << CodePage(line, static_cast<UINT>(std::stoul(q[1]))) << '\n';
      continue;
    } else if (q[0] == "realloc" && q.size() == 4) {
      answer = Realloc(q);
    } else if (q[0] == "profile" && q.size() == 6) {
      answer = Profile(q, argv[1]);
    } else {
      answer = "bad question";
    }
    std::cout << line << " => " << answer << '\n';
  }
  return 0;
}

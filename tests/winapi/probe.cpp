// Asks the Windows API questions and prints the answers, one line per question. Built for
// Windows it asks the real API (under Wine); built natively it asks our stand-ins. The
// answers of both must be the same lines: answers.txt holds those recorded under Wine.
//
// usage: winapi_probe DATA_DIR < questions.txt
// Questions, fields separated by '|', text fields may hold \xHH escapes:
//   mb|CP|HEX         MultiByteToWideChar of the bytes; "mb|CP|HEX|nul" appends a NUL and
//                     passes -1 as the length
//   mbtable|CP        a digest of the conversion of every byte and every two-byte sequence
//   profile|SIZE|FILE|SECTION|KEY|DEFAULT
//                     GetPrivateProfileStringA with FILE in DATA_DIR
//   realloc|TEXT|FROM|LENGTH
//                     SysReAllocStringLen of a BSTR of TEXT, from "self+N" (N units into
//                     it), "null" (the units kept) or another text; the answer gives the
//                     units the call defines
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

std::string Profile(const std::vector<std::string>& q, const std::string& dataDir) {
  const DWORD size = static_cast<DWORD>(std::stoul(q[1]));
  const std::string file = dataDir + "\\" + Unescape(q[2]);
  const std::string section = Unescape(q[3]), key = Unescape(q[4]), fallback = Unescape(q[5]);
  std::vector<char> buffer(size + 1, '\x7F');
  const DWORD count = GetPrivateProfileStringA(section.c_str(), key.c_str(),
                                               fallback.c_str(), buffer.data(), size,
                                               file.c_str());
  std::size_t length = 0;
  while (length < size && buffer[length] != '\0') ++length;
  std::string answer = std::to_string(count) + " ";
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

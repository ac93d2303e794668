// OLE Automation strings with the layout of oleaut32: a 32-bit byte length, the UTF-16 text,
// a NUL code unit. The BSTR points at the text.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/huge_pages.h"
#include "gridloom/winapi.h"

namespace {

constexpr std::size_t kPrefix = sizeof(std::uint32_t);
constexpr UINT kMaxLength = (UINT32_MAX - kPrefix - sizeof(OLECHAR)) / sizeof(OLECHAR);

std::uint32_t* Header(BSTR text) { return reinterpret_cast<std::uint32_t*>(text) - 1; }

}  // namespace

extern "C" {

BSTR WINAPI SysAllocStringLen(const OLECHAR* text, UINT length) {
  if (length > kMaxLength) return nullptr;
  const std::size_t bytes = std::size_t{length} * sizeof(OLECHAR);
  auto* block = static_cast<std::uint32_t*>(std::malloc(kPrefix + bytes + sizeof(OLECHAR)));
  if (block == nullptr) return nullptr;
  gridloom::AdviseHugePages(block, kPrefix + bytes);
  block[0] = static_cast<std::uint32_t>(bytes);
  BSTR result = reinterpret_cast<BSTR>(block + 1);
  if (text != nullptr) std::memcpy(result, text, bytes);
  result[length] = 0;
  return result;
}

BSTR WINAPI SysAllocString(const OLECHAR* text) {
  if (text == nullptr) return nullptr;
  std::size_t length = 0;
  while (text[length] != 0) ++length;
  if (length > kMaxLength) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(length));
}

INT WINAPI SysReAllocStringLen(BSTR* text, const OLECHAR* from, UINT length) {
  if (text == nullptr || length > kMaxLength) return 0;
  if (*text == nullptr) {
    *text = SysAllocStringLen(from, length);
    return *text != nullptr;
  }
  const auto old = reinterpret_cast<std::uintptr_t>(*text);
  const auto at = reinterpret_cast<std::uintptr_t>(from);
  const bool inside = from != nullptr && at >= old && at <= old + *Header(*text);
  const std::size_t bytes = std::size_t{length} * sizeof(OLECHAR);
  if (inside && at != old) {
    // from lies in the old string: a new one is made from it, and the old one is freed only
    // then, so that a failure leaves it whole.
    BSTR fresh = SysAllocStringLen(nullptr, length);
    if (fresh == nullptr) return 0;
    std::memcpy(fresh, from, std::min<std::size_t>(bytes, old + *Header(*text) - at));
    SysFreeString(*text);
    *text = fresh;
    return 1;
  }
  auto* block = static_cast<std::uint32_t*>(
      std::realloc(Header(*text), kPrefix + bytes + sizeof(OLECHAR)));
  if (block == nullptr) return 0;
  gridloom::AdviseHugePages(block, kPrefix + bytes);
  block[0] = static_cast<std::uint32_t>(bytes);
  BSTR result = reinterpret_cast<BSTR>(block + 1);
  if (from != nullptr && !inside) std::memcpy(result, from, bytes);
  result[length] = 0;
  *text = result;
  return 1;
}

void WINAPI SysFreeString(BSTR text) {
  if (text != nullptr) std::free(Header(text));
}

UINT WINAPI SysStringLen(BSTR text) {
  return text == nullptr ? 0 : *Header(text) / sizeof(OLECHAR);
}

}  // extern "C"

// Large buffers on transparent huge pages where the system gives them on request (Linux,
// whose default is often "madvise"): each fresh 4 KB page costs a fault, about 14 µs on a
// virtual machine, where a 2 MB page costs one fault for 512 of them. Advice only: where it
// is not taken (another system, huge pages off), nothing changes.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace gridloom {

// Buffers smaller than this are left as they are: a huge page is worth it only where many
// of it are written.
inline constexpr std::size_t kHugePagesFrom = std::size_t{4} << 20;

// Advises that the pages of a buffer just allocated be huge ones. The whole pages it spans
// are advised, so that an allocation of its own (a mapping) stays one mapping.
inline void AdviseHugePages([[maybe_unused]] void* data,
                            [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (data == nullptr || bytes < kHugePagesFrom) return;
  constexpr std::uintptr_t kPage = 4096;
  const auto at = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = at & ~(kPage - 1);
  const std::uintptr_t end = (at + bytes + kPage - 1) & ~(kPage - 1);
  madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

}  // namespace gridloom

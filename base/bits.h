// Bit operations on the 64-bit masks of the block scans, written so that 32-bit builds get a
// few instructions rather than a call into the compiler's runtime (GCC's __builtin_ctzll is
// a call to __ctzdi2 there).
#pragma once

#include <cstdint>

namespace gridloom {

// The index of the lowest set bit; bits must not be 0.
[[gnu::always_inline]] inline unsigned LowestBit(std::uint64_t bits) {
#if defined(__i386__)
  const auto low = static_cast<std::uint32_t>(bits);
  return low != 0 ? static_cast<unsigned>(__builtin_ctz(low))
                  : 32 + static_cast<unsigned>(__builtin_ctz(static_cast<std::uint32_t>(bits >> 32)));
#else
  return static_cast<unsigned>(__builtin_ctzll(bits));
#endif
}

[[gnu::always_inline]] inline unsigned LowestBit(std::uint32_t bits) {
  return static_cast<unsigned>(__builtin_ctz(bits));
}

// The number of set bits, without a population-count instruction.
[[gnu::always_inline]] inline unsigned CountBits(std::uint64_t bits) {
  bits -= (bits >> 1) & 0x5555555555555555;
  bits = (bits & 0x3333333333333333) + ((bits >> 2) & 0x3333333333333333);
  bits = (bits + (bits >> 4)) & 0x0F0F0F0F0F0F0F0F;
  return static_cast<unsigned>((bits * 0x0101010101010101) >> 56);
}

[[gnu::always_inline]] inline unsigned CountBits(std::uint32_t bits) {
  bits -= (bits >> 1) & 0x55555555;
  bits = (bits & 0x33333333) + ((bits >> 2) & 0x33333333);
  bits = (bits + (bits >> 4)) & 0x0F0F0F0F;
  return (bits * 0x01010101) >> 24;
}

}  // namespace gridloom

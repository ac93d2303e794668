// Unaligned loads and stores of 16 bytes, for the SSE2 paths of every library.
#pragma once

#include "base/isa.h"

#if GRIDLOOM_HAVE_SSE2
#include <emmintrin.h>

namespace gridloom {

[[gnu::always_inline]] inline __m128i Load16(const void* p) {
  return _mm_loadu_si128(static_cast<const __m128i*>(p));
}

[[gnu::always_inline]] inline void Store16(void* p, __m128i bytes) {
  _mm_storeu_si128(static_cast<__m128i*>(p), bytes);
}

}  // namespace gridloom
#endif

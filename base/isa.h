// The sets of processor instructions that the fast paths are written for, and the choice among
// them. Every fast path has a plain counterpart that defines its result; each takes the set
// to use as an argument, the best this processor has unless a test asks for another.
#pragma once

#include <span>

namespace gridloom {

enum class Isa : unsigned char {
  kPlain,   // portable C++, on every processor
  kSse2,    // SSE2: every x86-64 processor, and the baseline of the 32-bit builds
  kSsse3,   // SSSE3 with POPCNT: byte shuffles and bit counts
  kAvx512,  // AVX-512 BW and VBMI2, with BMI2
  kBest,    // the best of the above that this build and this processor have
};

// The best set this build and this processor have, found once.
Isa BestIsa();

// Every set this build and this processor have, plain first: what tests loop over.
std::span<const Isa> AvailableIsas();

const char* IsaName(Isa isa);

// The set to use for a request: kBest, or one the processor lacks, becomes the best it has.
inline Isa UsableIsa(Isa wanted) {
  const Isa best = BestIsa();
  return wanted == Isa::kBest || wanted > best ? best : wanted;
}

}  // namespace gridloom

// Code for SSE2 is compiled where the build's target has it; code for the better sets is
// compiled for their instructions function by function, and only called where BestIsa says.
#if defined(__SSE2__) && (defined(__x86_64__) || defined(__i386__))
#define GRIDLOOM_HAVE_SSE2 1
#define GRIDLOOM_TARGET_SSSE3 __attribute__((target("ssse3,popcnt")))
#define GRIDLOOM_TARGET_AVX512 \
  __attribute__((target("avx512f,avx512bw,avx512vbmi2,bmi2,popcnt")))
#else
#define GRIDLOOM_HAVE_SSE2 0
#endif

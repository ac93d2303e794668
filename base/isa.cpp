#include "base/isa.h"

#include <array>

namespace gridloom {
namespace {

struct Sets {
  std::array<Isa, 4> list{};
  std::size_t count = 0;
};

Sets FindSets() {
  Sets sets;
  sets.list[sets.count++] = Isa::kPlain;
#if GRIDLOOM_HAVE_SSE2
  sets.list[sets.count++] = Isa::kSse2;
  __builtin_cpu_init();  // before any constructor has run, in a DLL too
  if (__builtin_cpu_supports("ssse3") && __builtin_cpu_supports("popcnt")) {
    sets.list[sets.count++] = Isa::kSsse3;
    if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi2") &&
        __builtin_cpu_supports("bmi2"))
      sets.list[sets.count++] = Isa::kAvx512;
  }
#endif
  return sets;
}

const Sets& Available() {
  static const Sets sets = FindSets();
  return sets;
}

}  // namespace

Isa BestIsa() { return Available().list[Available().count - 1]; }

std::span<const Isa> AvailableIsas() { return {Available().list.data(), Available().count}; }

const char* IsaName(Isa isa) {
  switch (isa) {
    case Isa::kPlain: return "plain";
    case Isa::kSse2: return "sse2";
    case Isa::kSsse3: return "ssse3";
    case Isa::kAvx512: return "avx512";
    case Isa::kBest: break;
  }
  return "best";
}

}  // namespace gridloom

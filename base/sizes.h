// Sizes worked out in the width of the build's size_t: a sum or product that does not fit
// throws TooLarge (a table too large to hold), never wraps around.
#pragma once

#include <cstddef>
#include <stdexcept>

namespace gridloom {

class TooLarge : public std::length_error {
 public:
  TooLarge() : std::length_error("larger than this build can hold") {}
};

inline std::size_t SizeAdd(std::size_t a, std::size_t b) {
  std::size_t sum;
  if (__builtin_add_overflow(a, b, &sum)) throw TooLarge();
  return sum;
}

inline std::size_t SizeMul(std::size_t a, std::size_t b) {
  std::size_t product;
  if (__builtin_mul_overflow(a, b, &product)) throw TooLarge();
  return product;
}

}  // namespace gridloom

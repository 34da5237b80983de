// Bitsets over the cells of a board (bit i stands for cell i), stored as 64-bit words with one
// spare zero word at the end so that a short run of bits can be read across a word boundary
// without a bounds test.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace tessarin::cell_bits {

// Words needed for `cells` bits plus the spare word.
constexpr std::size_t words_for(std::size_t cells) {
  return cells / 64 + 2;
}

inline bool test(const std::uint64_t* words, std::size_t i) {
  return (words[i >> 6] >> (i & 63)) & 1U;
}
inline void set(std::uint64_t* words, std::size_t i) {
  words[i >> 6] |= std::uint64_t{1} << (i & 63);
}
inline void clear(std::uint64_t* words, std::size_t i) {
  words[i >> 6] &= ~(std::uint64_t{1} << (i & 63));
}

// Bits i .. i + count - 1 as the low bits of the result. Precondition: count <= 57 and the spare
// word exists after bit i + count - 1.
inline std::uint64_t extract(const std::uint64_t* words, std::size_t i, unsigned count) {
  const std::size_t w = i >> 6;
  const unsigned shift = i & 63;
  std::uint64_t bits = words[w] >> shift;
  if (shift != 0) bits |= words[w + 1] << (64 - shift);
  return bits & ((std::uint64_t{1} << count) - 1);
}

// Calls f(i) for every set bit i, ascending.
template <class F>
void for_each(const std::uint64_t* words, std::size_t word_count, F&& f) {
  for (std::size_t w = 0; w < word_count; ++w) {
    for (std::uint64_t bits = words[w]; bits != 0; bits &= bits - 1) {
      f(w * 64 + static_cast<std::size_t>(std::countr_zero(bits)));
    }
  }
}

}  // namespace tessarin::cell_bits

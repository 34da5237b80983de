// The per-thread random source: a xoshiro256** generator seeded from the operating system's
// entropy on first use. Every random choice of the search and the drivers goes through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace tessarin {

class RandomSource {
 public:
  // A generator seeded from the operating system's entropy source.
  RandomSource();
  // A generator with a fixed seed (tests and benchmarks).
  explicit RandomSource(std::uint64_t seed);

  // Restarts the sequence from `seed`.
  void seed(std::uint64_t seed);

  std::uint64_t next_u64();
  std::uint32_t next_u32() { return static_cast<std::uint32_t>(next_u64() >> 32); }

  // Uniform in [0, 1): the float whose bits are (x >> 9) | the bits of 1.0, minus 1, for a random
  // 32-bit x; drawn again if not below 1.
  float uniform_float();
  // Uniform in [0, n), unbiased. Precondition: n > 0.
  std::size_t uniform_index(std::size_t n);
  // Standard normal (Marsaglia's polar method).
  double standard_normal();
  // Gamma(alpha, 1) by Marsaglia and Tsang's method; for alpha < 1 a Gamma(alpha + 1, 1) variate
  // times U^(1 / alpha). Precondition: alpha > 0.
  double gamma(double alpha);
  // One Dirichlet sample with every concentration `alpha` into `out`: one Gamma(alpha, 1) variate
  // per entry, each divided by their sum. Precondition: alpha > 0.
  void dirichlet(double alpha, std::span<float> out);

  // Fisher-Yates shuffle of `items`.
  template <class T>
  void shuffle(std::span<T> items) {
    for (std::size_t i = items.size(); i > 1; --i) {
      std::swap(items[i - 1], items[uniform_index(i)]);
    }
  }

 private:
  std::uint64_t state_[4];
};

// The calling thread's generator.
RandomSource& thread_random();

// The seed of game `number` of a batch seeded with `seed`: the batch's seed is mixed first, so
// that batches whose seeds are close draw unrelated games (with seed + number, game 1 of a batch
// seeded s would be game 0 of one seeded s + 1).
std::uint64_t game_seed(std::uint64_t seed, std::uint64_t number);

}  // namespace tessarin

#include "random_source.h"

#include <bit>
#include <cmath>
#include <random>
#include <vector>

namespace tessarin {
namespace {

std::uint64_t splitmix64(std::uint64_t& x) {
  std::uint64_t z = (x += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

}  // namespace

std::uint64_t game_seed(std::uint64_t seed, std::uint64_t number) {
  return splitmix64(seed) + number;
}

RandomSource::RandomSource() {
  std::random_device entropy;
  for (auto& word : state_) {
    word = (static_cast<std::uint64_t>(entropy()) << 32) | entropy();
  }
  if ((state_[0] | state_[1] | state_[2] | state_[3]) == 0) state_[0] = 1;
}

RandomSource::RandomSource(std::uint64_t seed_value) {
  seed(seed_value);
}

void RandomSource::seed(std::uint64_t seed_value) {
  for (auto& word : state_)
    word = splitmix64(seed_value);
}

std::uint64_t RandomSource::next_u64() {
  const std::uint64_t result = std::rotl(state_[1] * 5, 7) * 9;
  const std::uint64_t t = state_[1] << 17;
  state_[2] ^= state_[0];
  state_[3] ^= state_[1];
  state_[1] ^= state_[2];
  state_[0] ^= state_[3];
  state_[2] ^= t;
  state_[3] = std::rotl(state_[3], 45);
  return result;
}

float RandomSource::uniform_float() {
  while (true) {
    const std::uint32_t bits = (next_u32() >> 9) | 0x3F800000U;
    const float value = std::bit_cast<float>(bits) - 1.0F;
    if (value < 1.0F) return value;
  }
}

std::size_t RandomSource::uniform_index(std::size_t n) {
  // Lemire's multiply-and-reject: unbiased, one multiplication in the common case.
  __extension__ using Wide = unsigned __int128;
  const auto bound = static_cast<std::uint64_t>(n);
  Wide product = Wide{next_u64()} * bound;
  auto low = static_cast<std::uint64_t>(product);
  if (low < bound) {
    const std::uint64_t threshold = (0 - bound) % bound;
    while (low < threshold) {
      product = Wide{next_u64()} * bound;
      low = static_cast<std::uint64_t>(product);
    }
  }
  return static_cast<std::size_t>(product >> 64);
}

double RandomSource::standard_normal() {
  while (true) {
    const double u = 2.0 * (static_cast<double>(next_u64() >> 11) * 0x1.0p-53) - 1.0;
    const double v = 2.0 * (static_cast<double>(next_u64() >> 11) * 0x1.0p-53) - 1.0;
    const double s = u * u + v * v;
    if (s > 0.0 && s < 1.0) return u * std::sqrt(-2.0 * std::log(s) / s);
  }
}

double RandomSource::gamma(double alpha) {
  if (alpha < 1.0) {
    // Boost: Gamma(alpha) = Gamma(alpha + 1) * U^(1 / alpha), U in (0, 1].
    const double u = 1.0 - static_cast<double>(next_u64() >> 11) * 0x1.0p-53;
    return gamma(alpha + 1.0) * std::pow(u, 1.0 / alpha);
  }
  const double d = alpha - 1.0 / 3.0;
  const double c = 1.0 / std::sqrt(9.0 * d);
  while (true) {
    const double x = standard_normal();
    double v = 1.0 + c * x;
    if (v <= 0.0) continue;
    v = v * v * v;
    const double u = 1.0 - static_cast<double>(next_u64() >> 11) * 0x1.0p-53;
    const double x2 = x * x;
    if (u < 1.0 - 0.0331 * x2 * x2) return d * v;
    if (std::log(u) < 0.5 * x2 + d * (1.0 - v + std::log(v))) return d * v;
  }
}

void RandomSource::dirichlet(double alpha, std::span<float> out) {
  // Kept in double until the end so that tiny concentrations do not underflow to 0 / 0.
  thread_local std::vector<double> variates;
  variates.resize(out.size());
  double sum = 0.0;
  for (double& variate : variates) {
    variate = gamma(alpha);
    sum += variate;
  }
  const double scale = 1.0 / sum;
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<float>(variates[i] * scale);
}

RandomSource& thread_random() {
  thread_local RandomSource source;
  return source;
}

}  // namespace tessarin

// The per-thread random source: reproducible sequences from a seed, and the distributions the
// search and the drivers draw from. Every statistical check runs on a fixed seed, so it is
// deterministic; the tolerances are several standard errors wide all the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <numeric>
#include <set>
#include <span>
#include <thread>
#include <vector>

#include "random_source.h"

namespace tessarin {
namespace {

std::vector<std::uint64_t> draw_u64(RandomSource& random, std::size_t count) {
  std::vector<std::uint64_t> out;
  for (std::size_t i = 0; i < count; ++i)
    out.push_back(random.next_u64());
  return out;
}

struct Moments {
  double mean;
  double variance;
  // Standard error of `variance` as an estimate, from the sample's fourth central moment.
  double variance_error;
};

Moments moments(const std::vector<double>& xs) {
  const auto n = static_cast<double>(xs.size());
  double sum = 0.0;
  for (double x : xs)
    sum += x;
  const double mean = sum / n;
  double squares = 0.0;
  double fourths = 0.0;
  for (double x : xs) {
    const double d2 = (x - mean) * (x - mean);
    squares += d2;
    fourths += d2 * d2;
  }
  const double variance = squares / (n - 1.0);
  const double m4 = fourths / n;
  return {mean, variance, std::sqrt(std::max(0.0, m4 - variance * variance) / n)};
}

// Pearson's statistic of `counts` against equal expected counts.
double chi_square(const std::vector<std::size_t>& counts) {
  const double total = std::accumulate(counts.begin(), counts.end(), 0.0);
  const double expected = total / static_cast<double>(counts.size());
  double statistic = 0.0;
  for (std::size_t c : counts) {
    const double d = static_cast<double>(c) - expected;
    statistic += d * d / expected;
  }
  return statistic;
}

TEST(RandomSeed, SameSeedSameSequenceAndReseedingRestarts) {
  RandomSource a(42);
  RandomSource b(42);
  const auto first = draw_u64(a, 16);
  EXPECT_EQ(first, draw_u64(b, 16));
  EXPECT_NE(first, draw_u64(a, 16));  // the sequence moves on

  a.seed(42);
  EXPECT_EQ(draw_u64(a, 16), first);
  a.seed(43);
  EXPECT_NE(draw_u64(a, 16), first);

  // The derived draws follow the seed as well.
  RandomSource c(7);
  RandomSource d(7);
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(c.uniform_float(), d.uniform_float());
    ASSERT_EQ(c.uniform_index(1000), d.uniform_index(1000));
    ASSERT_EQ(c.gamma(0.3), d.gamma(0.3));
  }
}

TEST(RandomSeed, EverySeedGivesAVariedStream) {
  // An all-zero xoshiro state would give zeros for ever; seed 0 must not produce it.
  for (std::uint64_t seed :
       {std::uint64_t{0}, std::uint64_t{1}, std::numeric_limits<std::uint64_t>::max()}) {
    RandomSource random(seed);
    const auto values = draw_u64(random, 64);
    const std::set<std::uint64_t> distinct(values.begin(), values.end());
    EXPECT_EQ(distinct.size(), values.size()) << "seed " << seed;
  }
}

TEST(RandomSeed, EntropySeededSourcesDiffer) {
  RandomSource a;
  RandomSource b;
  EXPECT_NE(draw_u64(a, 4), draw_u64(b, 4));

  // Each thread has a generator of its own.
  RandomSource* main_source = &thread_random();
  EXPECT_EQ(&thread_random(), main_source);
  RandomSource* other_source = nullptr;
  std::vector<std::uint64_t> other_values;
  std::thread worker([&] {
    other_source = &thread_random();
    other_values = draw_u64(thread_random(), 4);
  });
  worker.join();
  EXPECT_NE(other_source, main_source);
  EXPECT_NE(other_values, draw_u64(thread_random(), 4));
}

TEST(UniformFloat, InUnitIntervalOnTheFloatGridWithUniformMoments) {
  RandomSource random(1);
  constexpr std::size_t kDraws = 200000;
  std::vector<double> xs;
  xs.reserve(kDraws);
  std::vector<std::size_t> deciles(10, 0);
  for (std::size_t i = 0; i < kDraws; ++i) {
    const float x = random.uniform_float();
    ASSERT_GE(x, 0.0F);
    ASSERT_LT(x, 1.0F);
    // 23 random mantissa bits: every value is a multiple of 2^-23.
    const double scaled = static_cast<double>(x) * 8388608.0;
    ASSERT_EQ(scaled, std::floor(scaled)) << x;
    xs.push_back(x);
    ++deciles[static_cast<std::size_t>(x * 10.0F)];
  }
  const Moments m = moments(xs);
  EXPECT_NEAR(m.mean, 0.5, 0.004);
  EXPECT_NEAR(m.variance, 1.0 / 12.0, 0.002);
  EXPECT_LT(chi_square(deciles), 40.0);  // 9 degrees of freedom
}

TEST(UniformIndex, StaysBelowTheBoundWithEvenCounts) {
  RandomSource random(2);
  for (int i = 0; i < 1000; ++i)
    ASSERT_EQ(random.uniform_index(1), 0u);

  for (std::size_t n : {std::size_t{2}, std::size_t{3}, std::size_t{7}, std::size_t{10}}) {
    std::vector<std::size_t> counts(n, 0);
    const std::size_t draws = 20000 * n;
    for (std::size_t i = 0; i < draws; ++i) {
      const std::size_t k = random.uniform_index(n);
      ASSERT_LT(k, n);
      ++counts[k];
    }
    // n - 1 <= 9 degrees of freedom; 40 is far beyond any plausible statistic.
    EXPECT_LT(chi_square(counts), 40.0) << "n = " << n;
  }
}

TEST(UniformIndex, UnbiasedForABoundNearTheWordSize) {
  // With n about two thirds of 2^64, reducing a 64-bit word modulo n would land in the lower
  // half of [0, n) twice as often as in the upper half.
  constexpr std::uint64_t kBound = 0xAAAAAAAAAAAAAAABULL;
  RandomSource random(3);
  constexpr std::size_t kDraws = 100000;
  std::size_t lower = 0;
  for (std::size_t i = 0; i < kDraws; ++i) {
    const std::size_t k = random.uniform_index(kBound);
    ASSERT_LT(k, kBound);
    if (k < kBound / 2) ++lower;
  }
  EXPECT_NEAR(static_cast<double>(lower) / kDraws, 0.5, 0.01);
}

TEST(StandardNormal, HasZeroMeanAndUnitVariance) {
  RandomSource random(4);
  std::vector<double> xs;
  for (int i = 0; i < 100000; ++i)
    xs.push_back(random.standard_normal());
  const Moments m = moments(xs);
  EXPECT_NEAR(m.mean, 0.0, 0.02);
  EXPECT_NEAR(m.variance, 1.0, 0.03);
}

class GammaMoments : public ::testing::TestWithParam<double> {};

TEST_P(GammaMoments, MeanAndVarianceEqualAlpha) {
  const double alpha = GetParam();
  RandomSource random(5);
  constexpr std::size_t kDraws = 100000;
  std::vector<double> xs;
  xs.reserve(kDraws);
  for (std::size_t i = 0; i < kDraws; ++i) {
    const double x = random.gamma(alpha);
    ASSERT_TRUE(std::isfinite(x)) << x;
    ASSERT_GE(x, 0.0);
    xs.push_back(x);
  }
  const Moments m = moments(xs);
  // Standard errors of the sample mean and variance of Gamma(alpha, 1): sqrt(alpha / N) and
  // sqrt((2 alpha^2 + 6 alpha) / N).
  const double n = static_cast<double>(kDraws);
  EXPECT_NEAR(m.mean, alpha, 6.0 * std::sqrt(alpha / n));
  EXPECT_NEAR(m.variance, alpha, 6.0 * std::sqrt((2.0 * alpha * alpha + 6.0 * alpha) / n));
}

INSTANTIATE_TEST_SUITE_P(Alphas, GammaMoments, ::testing::Values(0.03, 0.3, 1.0, 2.5, 10.0));

TEST(Gamma, SmallAlphaPutsMostMassNearZero) {
  // About two thirds of Gamma(0.03, 1) lies below 1e-6 (its median is near 5e-11).
  RandomSource random(6);
  int tiny = 0;
  for (int i = 0; i < 10000; ++i) {
    if (random.gamma(0.03) < 1e-6) ++tiny;
  }
  EXPECT_GT(tiny, 5000);
  EXPECT_LT(tiny, 8000);
}

TEST(Dirichlet, SamplesLieOnTheSimplexWithSymmetricMoments) {
  RandomSource random(7);
  for (double alpha : {0.03, 0.3, 1.0, 10.0}) {
    for (std::size_t n : {std::size_t{1}, std::size_t{3}, std::size_t{20}}) {
      constexpr int kDraws = 4000;
      std::vector<std::vector<double>> columns(n);
      std::vector<float> sample(n, -1.0F);
      for (int d = 0; d < kDraws; ++d) {
        random.dirichlet(alpha, sample);
        double sum = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
          ASSERT_TRUE(std::isfinite(sample[i])) << "alpha " << alpha;
          ASSERT_GE(sample[i], 0.0F) << "alpha " << alpha;
          sum += sample[i];
          columns[i].push_back(sample[i]);
        }
        ASSERT_NEAR(sum, 1.0, 1e-5) << "alpha " << alpha << ", n " << n;
      }
      // Each entry: mean 1/n, variance (1/n)(1 - 1/n) / (n alpha + 1).
      const double k = static_cast<double>(n);
      const double variance = (1.0 / k) * (1.0 - 1.0 / k) / (k * alpha + 1.0);
      const double mean_tolerance = 6.0 * std::sqrt(variance / kDraws) + 1e-9;
      for (std::size_t i = 0; i < n; ++i) {
        const Moments m = moments(columns[i]);
        EXPECT_NEAR(m.mean, 1.0 / k, mean_tolerance) << "alpha " << alpha << ", n " << n;
        EXPECT_NEAR(m.variance, variance, 6.0 * m.variance_error + 1e-9)
            << "alpha " << alpha << ", n " << n;
      }
    }
  }
}

TEST(Shuffle, PermutesWithEveryOrderEquallyLikely) {
  RandomSource random(8);
  // Small sizes stay permutations.
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{10}}) {
    std::vector<int> items(n);
    std::iota(items.begin(), items.end(), 0);
    random.shuffle(std::span<int>(items));
    std::vector<int> sorted = items;
    std::sort(sorted.begin(), sorted.end());
    std::vector<int> expected(n);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(sorted, expected);
  }

  // All 24 orders of four items, identity included, about equally often.
  std::map<std::vector<int>, std::size_t> seen;
  constexpr std::size_t kShuffles = 24000;
  for (std::size_t i = 0; i < kShuffles; ++i) {
    std::vector<int> items = {0, 1, 2, 3};
    random.shuffle(std::span<int>(items));
    ++seen[items];
  }
  ASSERT_EQ(seen.size(), 24u);
  std::vector<std::size_t> counts;
  for (const auto& [order, count] : seen)
    counts.push_back(count);
  EXPECT_LT(chi_square(counts), 60.0);  // 23 degrees of freedom
}

}  // namespace
}  // namespace tessarin

// Normalisation of the network's outputs: softmax over all values, and the masked softmax that
// turns policy logits into priors over the legal tiles only.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "fatal.h"
#include "softmax.h"

namespace tessarin {
namespace {

using Floats = std::vector<float>;
using Tiles = std::vector<std::size_t>;

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

void expect_all_nan(const Floats& values) {
  for (std::size_t i = 0; i < values.size(); ++i)
    EXPECT_TRUE(std::isnan(values[i])) << i;
}

TEST(Softmax, NormalisesFiniteValues) {
  EXPECT_EQ(softmax({0, 0, 0, 0}), (Floats{0.25F, 0.25F, 0.25F, 0.25F}));
  EXPECT_EQ(softmax({}), Floats{});
  EXPECT_EQ(softmax({-3.5F}), Floats{1.0F});

  const Floats p = softmax({1.0F, 2.0F, 3.0F});
  const double s = std::exp(-2.0) + std::exp(-1.0) + 1.0;
  ASSERT_EQ(p.size(), 3u);
  EXPECT_NEAR(p[0], std::exp(-2.0) / s, 1e-6);
  EXPECT_NEAR(p[1], std::exp(-1.0) / s, 1e-6);
  EXPECT_NEAR(p[2], 1.0 / s, 1e-6);
}

TEST(Softmax, SubtractsTheMaximumSoLargeValuesDoNotOverflow) {
  EXPECT_EQ(softmax({1000.0F, 0.0F}), (Floats{1.0F, 0.0F}));
  EXPECT_EQ(softmax({0.0F, 1000.0F}), (Floats{0.0F, 1.0F}));

  const Floats shifted = softmax({201.0F, 202.0F, 203.0F});
  const Floats plain = softmax({1.0F, 2.0F, 3.0F});
  for (std::size_t i = 0; i < plain.size(); ++i)
    EXPECT_NEAR(shifted[i], plain[i], 1e-6) << i;

  // Minus infinity next to finite values is simply probability 0.
  EXPECT_EQ(softmax({-kInf, 0.0F, -kInf}), (Floats{0.0F, 1.0F, 0.0F}));
}

TEST(Softmax, NonFiniteInputsGiveNaNWithoutAGuard) {
  expect_all_nan(softmax({kInf, 0.0F}));
  expect_all_nan(softmax({-kInf, -kInf, -kInf}));
  // A NaN is passed over when looking for the maximum, but it still enters the sum.
  const Floats with_nan = softmax({kNaN, 1000.0F, 0.0F});
  ASSERT_EQ(with_nan.size(), 3u);
  expect_all_nan(with_nan);
}

TEST(MaskedSoftmax, NormalisesOverTheLegalTilesOnly) {
  // The large logits of the illegal tiles have no influence.
  EXPECT_EQ(masked_softmax(Floats{5, 1, 1, 7}, Tiles{1, 2}), (Floats{0, 0.5F, 0.5F, 0}));
  EXPECT_EQ(masked_softmax(Floats{5, 1, 1, 7}, Tiles{2, 1}), (Floats{0, 0.5F, 0.5F, 0}));

  // Illegal positions are exactly 0 whatever their logits hold.
  EXPECT_EQ(masked_softmax(Floats{kNaN, 0, kInf, 0, -kInf}, Tiles{3, 1}),
            (Floats{0, 0.5F, 0, 0.5F, 0}));

  // The last index is in range.
  EXPECT_EQ(masked_softmax(Floats{0, 0, 1000}, Tiles{0, 2}), (Floats{0, 0, 1}));

  const Floats p = masked_softmax(Floats{0, 1, 2, 3, 4}, Tiles{4, 0, 2});
  const Floats q = softmax({4, 0, 2});
  EXPECT_EQ(p, (Floats{q[1], 0, q[2], 0, q[0]}));
}

TEST(MaskedSoftmax, EmptyLegalListGivesZerosOfTheLogitsLength) {
  EXPECT_EQ(masked_softmax(Floats{3, -1, 2}, Tiles{}), (Floats{0, 0, 0}));
  EXPECT_EQ(masked_softmax(Floats{}, Tiles{}), Floats{});
}

TEST(MaskedSoftmax, RepeatedTileCountsInTheSumForEveryOccurrence) {
  // Gathered [x1, x0, x1] = [0, 0, 0]: a third each, tile 1 written twice with the same value.
  EXPECT_EQ(masked_softmax(Floats{0, 0}, Tiles{1, 0, 1}), (Floats{1.0F / 3, 1.0F / 3}));
}

TEST(MaskedSoftmax, LegalTileWithoutALogitStops) {
  EXPECT_THROW(masked_softmax(Floats{0, 0, 0}, Tiles{0, 3}), FatalStop);
  EXPECT_THROW(masked_softmax(Floats{0, 0, 0}, Tiles{1000000}), FatalStop);
  EXPECT_THROW(masked_softmax(Floats{}, Tiles{0}), FatalStop);
  EXPECT_THROW(masked_softmax(Floats{0}, Tiles{std::numeric_limits<std::size_t>::max()}),
               FatalStop);
}

}  // namespace
}  // namespace tessarin

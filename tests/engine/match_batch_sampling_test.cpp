// A network seat that samples its opening tile draws it in proportion to its priors: with one
// tile holding 60% of the policy, some games open elsewhere, and without sampling none does.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "config.h"
#include "engine_seat.h"
#include "game.h"
#include "match_batch.h"
#include "search_config.h"

namespace tessarin {
namespace {

constexpr std::uint64_t kDim = 6;
constexpr std::size_t kGames = 32;

// How many of kGames games opened on the tile the policy gives 60%, the rest shared evenly.
std::size_t openings_on_the_favourite(std::uint64_t sample_moves) {
  const Config config = test_search_config(kDim, 0, 0.0F, sample_moves);
  std::array<Player, 4> lineup{};
  lineup.fill(Player{PlayerKind::kNetwork, 0});
  MatchBatch batch(config, lineup, kGames, kGames, 17);
  const std::vector<std::size_t> opening = Game::reset(kDim).get_legal_tiles();
  const std::size_t favourite = opening.back();
  const std::size_t cells = kDim * kDim;
  std::vector<float> row(cells, std::log(0.4F / static_cast<float>(opening.size() - 1)));
  row[favourite] = std::log(0.6F);

  const std::span<const std::size_t> slots = batch.step();
  EXPECT_EQ(slots.size(), kGames);
  std::vector<float> policy;
  for (std::size_t k = 0; k < slots.size(); ++k)
    policy.insert(policy.end(), row.begin(), row.end());
  batch.complete(policy, std::vector<float>(slots.size() * kPlayers, 0.0F));
  std::size_t on_favourite = 0;
  for (std::size_t slot = 0; slot < kGames; ++slot) {
    const auto& history = batch.history(slot);
    EXPECT_FALSE(history.empty());
    if (!history.empty() && static_cast<std::size_t>(history.front().second) == favourite)
      ++on_favourite;
  }
  return on_favourite;
}

TEST(MatchBatchSampling, AnOpeningIsDrawnInProportionToThePriors) {
  // 32 draws at 60%: all on the favourite has a chance below 1e-7, none below 1e-12.
  const std::size_t sampled = openings_on_the_favourite(1);
  EXPECT_GT(sampled, 8u);
  EXPECT_LT(sampled, kGames);
  EXPECT_EQ(openings_on_the_favourite(0), kGames);
}

}  // namespace
}  // namespace tessarin

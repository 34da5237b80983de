// The smallest board the engine plays, side 4, is a side the batched matches play too; side 3 is
// refused before anything is played.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "config.h"
#include "engine_seat.h"
#include "fatal.h"
#include "match_batch.h"
#include "search_config.h"

namespace tessarin {
namespace {

Config on_side(std::uint64_t dim) {
  return test_search_config(dim, 0, 0.0F);
}

TEST(MatchBatchSides, TheSmallestSideIsPlayedAndASmallerOneRefused) {
  std::array<Player, 4> lineup{};
  lineup.fill(Player{PlayerKind::kRandom, 0});
  MatchBatch batch(on_side(4), lineup, 2, 4, 3);
  while (!batch.done())
    EXPECT_TRUE(batch.step().empty());  // engine players only: no row for a network
  EXPECT_EQ(batch.take_finished().size(), 4u);
  EXPECT_EQ(batch.games_failed(), 0u);
  EXPECT_THROW(MatchBatch(on_side(3), lineup, 2, 4, 3), FatalStop);
}

}  // namespace
}  // namespace tessarin

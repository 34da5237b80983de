// The position memo: an answer comes back exactly, at the position's legal tiles, only for the
// same position; the oldest entries go first once it is full, and the rest stay reachable; a
// non-finite answer is never kept.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "game.h"
#include "position_cache.h"
#include "random_source.h"

namespace tessarin {
namespace {

constexpr std::size_t kDim = 6;
constexpr std::size_t kCells = kDim * kDim;

// Positions along one random game, all different (every action changes the planes).
std::vector<Game> positions(std::size_t count, std::uint64_t seed) {
  RandomSource random(seed);
  std::vector<Game> out;
  Game game = Game::reset(kDim);
  std::vector<std::size_t> legal;
  while (out.size() < count) {
    if (game.is_terminal()) game = Game::reset(kDim);
    out.push_back(game);
    game.legal_tiles(legal);
    game.apply_legal(legal[random.uniform_index(legal.size())]);
  }
  return out;
}

std::vector<float> policy_of(std::size_t n) {
  std::vector<float> policy(kCells);
  for (std::size_t cell = 0; cell < kCells; ++cell)
    policy[cell] = static_cast<float>(n * 1000 + cell);
  return policy;
}

TEST(PositionCache, AnAnswerComesBackAtTheLegalTilesOfTheSamePositionOnly) {
  const std::vector<Game> games = positions(2, 3);
  PositionCache cache(8, kDim);
  std::vector<std::uint64_t> first;
  std::vector<std::uint64_t> second;
  cache.key_of(games[0], first);
  cache.key_of(games[1], second);
  ASSERT_NE(first, second);
  std::vector<float> policy(kCells, -1.0F);
  std::vector<float> values(4, -1.0F);
  EXPECT_FALSE(cache.find(first, policy, values));
  cache.insert(first, policy_of(7), std::vector<float>{1, 2, 3, 4});
  EXPECT_FALSE(cache.find(second, policy, values));
  ASSERT_TRUE(cache.find(first, policy, values));
  EXPECT_EQ(values, (std::vector<float>{1, 2, 3, 4}));
  std::vector<std::size_t> legal;
  games[0].legal_tiles(legal);
  for (std::size_t cell = 0; cell < kCells; ++cell) {
    const bool is_legal = std::find(legal.begin(), legal.end(), cell) != legal.end();
    EXPECT_EQ(policy[cell], is_legal ? policy_of(7)[cell] : 0.0F) << "cell " << cell;
  }
  EXPECT_EQ(cache.hits(), 1u);
  EXPECT_EQ(cache.misses(), 2u);
}

TEST(PositionCache, TheOldestGoFirstAndTheRestStayReachable) {
  // Many more distinct positions than entries, at a capacity that fills half the index: every
  // insert past the capacity evicts, and the index's deletions must leave exactly the newest
  // `capacity` findable.
  for (const std::size_t capacity : {16u, 37u, 64u}) {
    PositionCache cache(capacity, kDim);
    std::vector<std::vector<std::uint64_t>> keys;
    std::vector<float> policy(kCells);
    std::vector<float> values(4);
    for (const Game& game : positions(600, 11)) {
      std::vector<std::uint64_t> key;
      cache.key_of(game, key);
      if (std::find(keys.begin(), keys.end(), key) != keys.end()) continue;  // a new game's start
      keys.push_back(key);
      cache.insert(key, policy_of(keys.size()),
                   std::vector<float>(4, static_cast<float>(keys.size())));
    }
    ASSERT_GT(keys.size(), 4 * capacity);
    EXPECT_EQ(cache.size(), capacity);
    for (std::size_t n = 0; n < keys.size(); ++n) {
      const bool kept = n + capacity >= keys.size();
      EXPECT_EQ(cache.find(keys[n], policy, values), kept)
          << "capacity " << capacity << " key " << n;
      if (kept) {
        EXPECT_EQ(values[0], static_cast<float>(n + 1));
      }
    }
  }
}

TEST(PositionCache, NonFiniteAnswersAreNotKeptAndAnOffMemoMissesAlways) {
  const std::vector<Game> games = positions(1, 5);
  PositionCache cache(4, kDim);
  std::vector<std::uint64_t> key;
  cache.key_of(games[0], key);
  std::vector<float> policy = policy_of(1);
  std::vector<std::size_t> legal;
  games[0].legal_tiles(legal);
  policy[legal.front()] = std::numeric_limits<float>::quiet_NaN();
  cache.insert(key, policy, std::vector<float>(4, 0.0F));
  cache.insert(key, policy_of(1),
               std::vector<float>{0, std::numeric_limits<float>::infinity(), 0, 0});
  std::vector<float> out(kCells);
  std::vector<float> values(4);
  EXPECT_FALSE(cache.find(key, out, values));
  // A logit off the legal tiles is never read: it may be anything.
  std::vector<float> off_legal = policy_of(2);
  for (std::size_t cell = 0; cell < kCells; ++cell) {
    if (std::find(legal.begin(), legal.end(), cell) == legal.end()) {
      off_legal[cell] = std::numeric_limits<float>::quiet_NaN();
    }
  }
  cache.insert(key, off_legal, std::vector<float>(4, 0.0F));
  EXPECT_TRUE(cache.find(key, out, values));

  PositionCache off(0, kDim);
  EXPECT_FALSE(off.enabled());
  off.insert(key, policy_of(1), std::vector<float>(4, 0.0F));
  EXPECT_FALSE(off.find(key, out, values));
}

}  // namespace
}  // namespace tessarin

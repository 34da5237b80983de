// Copying a game allocates nothing up to the largest side whose bitsets live inside the board
// (kMaxInlineDim), apart from the history of a full copy. This program replaces the global
// operator new to count allocations, so it is a test executable of its own.
#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <vector>

#include "alloc_counter.h"
#include "board.h"
#include "game.h"

namespace tessarin {
namespace {

// A game of side `dim` after `actions` random legal tiles (fewer if it ends first).
Game played(std::size_t dim, std::size_t actions) {
  std::mt19937_64 rng(dim);
  Game game = Game::reset(dim);
  for (std::size_t i = 0; i < actions && !game.is_terminal(); ++i) {
    const std::vector<std::size_t> legal = game.get_legal_tiles();
    game.apply_legal(legal[std::uniform_int_distribution<std::size_t>(0, legal.size() - 1)(rng)]);
  }
  return game;
}

// Allocations made by `f`.
template <class F>
std::size_t allocations_of(F&& f) {
  const std::size_t before = bench::allocation_count();
  f();
  return bench::allocation_count() - before;
}

TEST(CopyAllocations, NoneUpToTheLargestInlineSide) {
  for (std::size_t dim : {std::size_t{4}, std::size_t{20}, kMaxInlineDim}) {
    const Game game = played(dim, 37);
    ASSERT_FALSE(game.history().empty());
    EXPECT_EQ(allocations_of([&] { Board copy(game.board()); }), 0u) << dim;
    EXPECT_EQ(allocations_of([&] { Game copy(game, Game::WithoutHistory{}); }), 0u) << dim;
    // A full copy allocates its history alone.
    EXPECT_EQ(allocations_of([&] { Game copy(game); }), 1u) << dim;
    Game target = Game::reset(dim);
    EXPECT_EQ(allocations_of([&] { target = Game(game, Game::WithoutHistory{}); }), 0u) << dim;
  }
}

TEST(CopyAllocations, BoardsBeyondTheInlineSideCopyTheirBitsetsOnTheHeap) {
  const Game game = played(kMaxInlineDim + 1, 37);
  EXPECT_EQ(allocations_of([&] { Board copy(game.board()); }), 1u);
  EXPECT_EQ(allocations_of([&] { Game copy(game, Game::WithoutHistory{}); }), 1u);
}

}  // namespace
}  // namespace tessarin

// The engine players: the random player and the heuristic (largest piece, then most new corner
// cells, then the caller's random source), played over whole games against each other.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "board.h"
#include "fatal.h"
#include "game.h"
#include "heuristic_player.h"
#include "random_source.h"

namespace tessarin {
namespace {

using Cells = std::vector<std::size_t>;

// Answers a fixed index (clamped into range) and records every range it was asked for.
struct ScriptedIndex {
  std::size_t answer = 0;
  std::vector<std::size_t> ranges;
  std::size_t uniform_index(std::size_t n) {
    ranges.push_back(n);
    return std::min(answer, n - 1);
  }
};

// The size of the largest piece `player` could lay, found by trying every piece, orientation and
// anchor on the board (independent of the tile-move map); 0 when none fits.
std::uint32_t largest_fitting_piece(const Board& board, std::size_t player) {
  const PieceList pieces = board.pieces(player);
  std::uint32_t largest = 0;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const Piece& piece = pieces[i];
    if (piece.size <= largest) continue;
    for (const PieceVariant& variant : piece.variants) {
      for (std::size_t anchor = 0; anchor < board.cell_count(); ++anchor) {
        if (board.is_valid_move(player, variant, anchor)) {
          largest = piece.size;
          break;
        }
      }
      if (largest == piece.size) break;
    }
  }
  return largest;
}

// Plays one game in which the seats in `heuristic_seats` are heuristic players and the others
// random, checking every tile and every completed piece. Returns the number of tiles played.
std::size_t play_checked_game(std::size_t dim, std::uint64_t seed, unsigned heuristic_seats,
                              bool check_largest) {
  RandomSource random(seed);
  std::vector<HeuristicPlayer> players(4);
  Game game = Game::reset(dim);
  std::size_t tiles = 0;
  std::optional<std::uint32_t> largest;  // at the start of the current heuristic turn
  Cells committed;
  while (!game.is_terminal()) {
    const std::size_t player = game.current_player();
    const bool heuristic = ((heuristic_seats >> player) & 1U) != 0;
    if (heuristic && game.tile_moves().played_count() == 0 && check_largest) {
      largest = largest_fitting_piece(game.board(), player);
    }
    const std::size_t tile =
        heuristic ? players[player].choose(game, random) : random_tile(game, random);
    if (heuristic) committed = players[player].committed_cells();
    const auto error = game.apply(tile);
    EXPECT_FALSE(error.has_value()) << *error << " (dim " << dim << ", seed " << seed << ")";
    if (error) return tiles;
    ++tiles;
    const bool completed = game.tile_moves().played_count() == 0 || game.is_terminal();
    if (heuristic && completed) {
      // The piece just laid is exactly the committed placement, and the largest that fitted.
      for (std::size_t cell : committed)
        EXPECT_EQ(game.board().owner(cell), player + 1) << "cell " << cell << ", seed " << seed;
      if (largest) {
        EXPECT_EQ(game.last_piece_sizes()[player], *largest) << "seed " << seed;
      }
      largest.reset();
    }
  }
  return tiles;
}

TEST(HeuristicPlayer, PlaysOnlyLegalTilesAndLaysTheLargestPieceOverRandomGames) {
  // Every side from the smallest up, heuristic seats in every combination over the seeds.
  for (std::size_t dim : {4, 5, 6, 7, 10, 13, 20}) {
    const std::uint64_t seeds = dim >= 13 ? 8 : 40;
    for (std::uint64_t seed = 0; seed < seeds; ++seed) {
      const unsigned seats = static_cast<unsigned>((seed * 7 + dim) % 15) + 1;  // 1 to 15
      play_checked_game(dim, seed * 1000 + dim, seats, /*check_largest=*/dim <= 13);
      if (HasFailure()) return;
    }
  }
}

TEST(HeuristicPlayer, WholeGamesOfFourHeuristicPlayersFinish) {
  for (std::size_t dim : {7, 20}) {
    const std::size_t tiles = play_checked_game(dim, dim, 0b1111, /*check_largest=*/dim == 7);
    EXPECT_GT(tiles, 4U * 5);  // at least one five-square piece each
    EXPECT_LE(tiles, 4 * kTotalSquares);
  }
}

TEST(HeuristicPlayer, CountsTheNewCornerCellsOfAPlacement) {
  const Board board(20);
  EXPECT_EQ(new_corner_count(board, 0, {0}), 1U);                  // I1: cell 21
  EXPECT_EQ(new_corner_count(board, 0, {0, 1, 2, 3, 4}), 1U);      // I5 along the top: 25
  EXPECT_EQ(new_corner_count(board, 0, {0, 1, 20, 21}), 1U);       // O4: 42
  EXPECT_EQ(new_corner_count(board, 0, {0, 1, 2, 20, 40}), 2U);    // V5: 23 and 61
  EXPECT_EQ(new_corner_count(board, 0, {0, 20, 21, 22, 42}), 3U);  // Z5 laid flat: 3, 41, 63
  // A cell that is already a corner of the player is not new: cell 0 is player 0's start corner.
  EXPECT_EQ(new_corner_count(board, 0, {21}), 3U);  // 2, 40, 42 are new; 0 is not
  // Another player's start corner counts for it like any empty cell.
  EXPECT_EQ(new_corner_count(board, 1, {21}), 4U);
}

TEST(HeuristicPlayer, OpensWithAFiveSquarePieceOfMostCornersAndDrawsAmongTies) {
  const Game game = Game::reset(20);
  const std::vector<RatedPlacement> best = best_placements(game);
  ASSERT_FALSE(best.empty());
  std::size_t most = 0;
  for (const RatedPlacement& r : live_placements(game)) {
    if (r.size == 5) most = std::max(most, r.new_corners);
  }
  for (const RatedPlacement& r : best) {
    EXPECT_EQ(r.size, 5U);
    EXPECT_EQ(r.new_corners, most);
  }
  EXPECT_TRUE(std::is_sorted(best.begin(), best.end(), [](const auto& a, const auto& b) {
    return a.placement < b.placement;
  }));
  ASSERT_GE(best.size(), 2U) << "the opening should offer tied placements";

  // The source picks among exactly the tied placements, in Placement order.
  for (std::size_t pick : {std::size_t{0}, best.size() - 1}) {
    ScriptedIndex source{pick, {}};
    HeuristicPlayer player;
    const std::size_t tile = player.choose(game, source);
    EXPECT_EQ(source.ranges, Cells{best.size()});
    EXPECT_EQ(player.committed_cells(), best[pick].cells);
    EXPECT_EQ(tile, best[pick].cells.front());
  }
}

TEST(HeuristicPlayer, TheSameSeedPlaysTheSameGame) {
  auto play = [](std::uint64_t seed) {
    RandomSource random(seed);
    std::vector<HeuristicPlayer> players(4);
    Game game = Game::reset(10);
    while (!game.is_terminal())
      (void)game.apply(players[game.current_player()].choose(game, random));
    return game.history();
  };
  EXPECT_EQ(play(5), play(5));
  bool differs = false;
  for (std::uint64_t seed = 6; seed < 12 && !differs; ++seed)
    differs = play(seed) != play(5);
  EXPECT_TRUE(differs) << "the tie-break never depended on the random source";
}

TEST(HeuristicPlayer, KeepsItsPlacementForTheWholeTurnWithoutDrawingAgain) {
  Game game = Game::reset(20);
  ScriptedIndex source{3, {}};
  HeuristicPlayer player;
  const std::size_t first = player.choose(game, source);
  const Cells cells = player.committed_cells();
  ASSERT_EQ(cells.size(), 5U);
  ASSERT_FALSE(game.apply(first).has_value());
  for (std::size_t i = 1; i < cells.size(); ++i) {
    const std::size_t tile = player.choose(game, source);
    EXPECT_EQ(tile, cells[i]);
    ASSERT_FALSE(game.apply(tile).has_value());
  }
  EXPECT_EQ(source.ranges.size(), 1U) << "a new draw in the middle of a turn";
  EXPECT_EQ(game.current_player(), 1U);
  EXPECT_EQ(game.last_piece_sizes()[0], 5U);
}

TEST(HeuristicPlayer, TakesOverATurnBegunByAnotherPlayerWithALivePlacement) {
  // Tiles 0 and 1 played by someone else: the heuristic commits to a five-square placement that
  // covers both and completes it.
  Game game = Game::reset(20);
  ASSERT_FALSE(game.apply(0).has_value());
  ASSERT_FALSE(game.apply(1).has_value());
  RandomSource random(4);
  HeuristicPlayer player;
  while (game.current_player() == 0) {
    const std::size_t tile = player.choose(game, random);
    ASSERT_FALSE(game.apply(tile).has_value());
  }
  const Cells& cells = player.committed_cells();
  EXPECT_TRUE(std::binary_search(cells.begin(), cells.end(), 0U));
  EXPECT_TRUE(std::binary_search(cells.begin(), cells.end(), 1U));
  EXPECT_EQ(game.last_piece_sizes()[0], 5U);

  // A commitment from another game is not followed into this one.
  Game other = Game::reset(20);
  ASSERT_FALSE(other.apply(0).has_value());
  ASSERT_FALSE(other.apply(20).has_value());  // not a cell of the placement above
  const std::size_t tile = player.choose(other, random);
  EXPECT_FALSE(other.apply(tile).has_value());
}

TEST(EnginePlayers, RefuseAFinishedGame) {
  RandomSource random(1);
  std::vector<HeuristicPlayer> players(4);
  Game game = Game::reset(5);
  while (!game.is_terminal())
    (void)game.apply(players[game.current_player()].choose(game, random));
  EXPECT_THROW(players[0].choose(game, random), FatalStop);
  EXPECT_THROW(random_tile(game, random), FatalStop);
  EXPECT_TRUE(best_placements(game).empty());
}

TEST(EnginePlayers, TheRandomPlayerDrawsFromTheLegalTiles) {
  const Game game = Game::reset(20);
  const Cells legal = game.get_legal_tiles();
  ScriptedIndex source{4, {}};
  EXPECT_EQ(random_tile(game, source), legal[4]);
  EXPECT_EQ(source.ranges, Cells{legal.size()});
}

}  // namespace
}  // namespace tessarin

// Move generation: the map from each tile the player may play next to the placements of whole
// pieces that cover it, built at the start of a turn and narrowed by every tile played.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "board.h"
#include "fatal.h"
#include "game.h"
#include "tile_moves.h"

namespace tessarin {

// Placements print as (piece index, variant index, anchor) in failure messages.
inline void PrintTo(const Placement& p, std::ostream* out) {
  *out << "(" << p.piece_index << ", " << p.variant_index << ", " << p.anchor << ")";
}

namespace {

using Cells = std::vector<std::size_t>;
using PlacementSet = std::set<Placement>;

// Every valid placement of `player`'s remaining pieces, found by trying every anchor.
PlacementSet all_valid(const Board& board, std::size_t player) {
  PlacementSet out;
  const PieceList pieces = board.pieces(player);
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const Piece& piece = pieces[i];
    for (std::size_t v = 0; v < piece.variants.size(); ++v) {
      for (std::size_t a = 0; a < board.cell_count(); ++a) {
        if (board.is_valid_move(player, piece.variants[v], a)) out.insert({i, v, a});
      }
    }
  }
  return out;
}

Cells cells_of(const Board& board, std::size_t player, const Placement& placement) {
  const PieceVariant& variant =
      board.pieces(player)[placement.piece_index].variants[placement.variant_index];
  Cells cells;
  for (std::size_t o : variant.offsets)
    cells.push_back(placement.anchor + o);
  return cells;
}

bool covers(const Board& board, std::size_t player, const Placement& placement, std::size_t cell) {
  const Cells cells = cells_of(board, player, placement);
  return std::find(cells.begin(), cells.end(), cell) != cells.end();
}

// The map must hold, for every cell other than `played` that a `live` placement covers, exactly
// the live placements covering it, and nothing else.
void expect_map(const TileMoves& moves, const Board& board, std::size_t player,
                const PlacementSet& live, const std::set<std::size_t>& played) {
  std::map<std::size_t, std::vector<Placement>> expected;
  for (const Placement& p : live) {
    for (std::size_t c : cells_of(board, player, p)) {
      if (!played.contains(c)) expected[c].push_back(p);
    }
  }
  Cells keys;
  for (const auto& [cell, set] : expected)
    keys.push_back(cell);
  ASSERT_EQ(moves.legal_tiles(), keys);
  EXPECT_EQ(moves.empty(), keys.empty());
  for (const auto& [cell, set] : expected) {
    std::vector<Placement> actual = moves.placements(cell);
    std::sort(actual.begin(), actual.end());
    ASSERT_EQ(actual, set) << "cell " << cell;
  }
  for (std::size_t c = 0; c < board.cell_count(); ++c) {
    ASSERT_EQ(moves.contains(c), expected.contains(c)) << "cell " << c;
    if (!expected.contains(c)) {
      ASSERT_TRUE(moves.placements(c).empty()) << "cell " << c;
    }
  }
}

std::size_t start_corner(std::size_t player, std::size_t dim) {
  const std::size_t corners[4] = {0, dim - 1, dim * dim - 1, (dim - 1) * dim};
  return corners[player];
}

TEST(TileMoveMap, NewBoardHoldsExactlyThePlacementsThroughTheStartCorner) {
  for (std::size_t dim : {4u, 5u, 20u}) {
    const Board board(dim);
    for (std::size_t p = 0; p < 4; ++p) {
      SCOPED_TRACE("dim " + std::to_string(dim) + " player " + std::to_string(p));
      const PlacementSet live = all_valid(board, p);
      ASSERT_FALSE(live.empty());
      const TileMoves moves = get_tile_moves(board, p);
      EXPECT_EQ(moves.player(), p);
      EXPECT_EQ(moves.played_count(), 0u);
      expect_map(moves, board, p, live, {});
      EXPECT_TRUE(moves.contains(start_corner(p, dim)));
      for (const Placement& pl : moves.placements(start_corner(p, dim))) {
        EXPECT_TRUE(live.contains(pl));
      }
      EXPECT_EQ(moves.placements(start_corner(p, dim)).size(), live.size());
    }
  }
}

TEST(TileMoveMap, PlayerZeroOpensInTheTopLeftFiveByFive) {
  const Board board(20);
  const TileMoves moves = get_tile_moves(board, 0);
  // The legal tiles are the squares of every orientation filled at its top-left cell, laid at 0.
  std::set<std::size_t> expected;
  std::size_t opening_placements = 0;
  for (std::size_t k = 0; k < kPieceKinds; ++k) {
    const Piece& piece = board.pieces(0)[k];
    for (const PieceVariant& v : piece.variants) {
      if (v.offsets.front() != 0) continue;
      ++opening_placements;
      expected.insert(v.offsets.begin(), v.offsets.end());
    }
  }
  const Cells legal = moves.legal_tiles();
  EXPECT_EQ(legal, Cells(expected.begin(), expected.end()));
  for (std::size_t t : legal) {
    EXPECT_LE(t / 20, 4u) << t;
    EXPECT_LE(t % 20, 4u) << t;
    for (const Placement& pl : moves.placements(t))
      EXPECT_EQ(pl.anchor, 0u);
  }
  EXPECT_EQ(moves.placements(0).size(), opening_placements);
  EXPECT_TRUE(std::is_sorted(legal.begin(), legal.end()));
}

TEST(TileMoveTable, ListsEveryPlacementOnceAndKeysAscending) {
  Board board(20);
  // Two separate squares give player 0 the corner cells 21, 22 and 24; I2 across on 21 and 22
  // touches two of them.
  board.place_tile(0, 0);
  board.place_tile(3, 0);
  ASSERT_EQ(board.corners(0), (Cells{21, 22, 24}));

  const auto table = build_tile_move_table(board, 0);
  EXPECT_EQ(table->player(), 0u);
  EXPECT_EQ(table->dim(), 20u);
  const PlacementSet live = all_valid(board, 0);
  ASSERT_EQ(table->records().size(), live.size());
  PlacementSet listed;
  for (std::size_t id = 0; id < table->records().size(); ++id)
    listed.insert(table->placement(id));
  EXPECT_EQ(listed, live);
  EXPECT_TRUE(std::is_sorted(table->keys().begin(), table->keys().end()));
  EXPECT_EQ(std::adjacent_find(table->keys().begin(), table->keys().end()), table->keys().end());

  const TileMoves moves(table);
  expect_map(moves, board, 0, live, {});
  const Placement across{1, 0, 21};
  for (std::size_t cell : {21u, 22u}) {
    const std::vector<Placement> set = moves.placements(cell);
    EXPECT_EQ(std::count(set.begin(), set.end(), across), 1) << cell;
  }
}

TEST(TileMoveMap, EmptyWithoutCornerCellsOrWithoutPieces) {
  Board blocked(20);
  blocked.place_tile(0, 1);  // someone else sits on player 0's start corner
  ASSERT_TRUE(blocked.corners(0).empty());
  const TileMoves none = get_tile_moves(blocked, 0);
  EXPECT_TRUE(none.empty());
  EXPECT_TRUE(none.legal_tiles().empty());
  EXPECT_TRUE(build_tile_move_table(blocked, 0)->keys().empty());
  EXPECT_FALSE(get_tile_moves(blocked, 2).empty());

  Board emptied(20);
  for (int i = 0; i < 21; ++i)
    emptied.remove_piece(3, 0);
  ASSERT_EQ(emptied.corners(3), Cells{380});
  EXPECT_TRUE(get_tile_moves(emptied, 3).empty());
  EXPECT_TRUE(get_tile_moves(emptied, 3).legal_tiles().empty());

  // Only the single square left: one corner cell, then none once another player takes it.
  Board cornered(20);
  for (int i = 0; i < 20; ++i)
    cornered.remove_piece(0, 1);
  cornered.place_tile(0, 0);
  cornered.place_tile(41, 1);
  cornered.place_tile(22, 2);
  ASSERT_EQ(cornered.corners(0), Cells{21});
  const TileMoves last = get_tile_moves(cornered, 0);
  EXPECT_EQ(last.legal_tiles(), Cells{21});
  cornered.place_tile(21, 3);
  EXPECT_TRUE(get_tile_moves(cornered, 0).empty());

  const TileMoves defaulted;
  EXPECT_TRUE(defaulted.empty());
  EXPECT_TRUE(defaulted.legal_tiles().empty());
  EXPECT_FALSE(defaulted.contains(0));
}

TEST(TileMoveMap, PlayerAboveThreeStops) {
  const Board board(20);
  EXPECT_THROW(get_tile_moves(board, 4), FatalStop);
  EXPECT_THROW(build_tile_move_table(board, 4), FatalStop);
}

TEST(Narrowing, TilesOfTheStraightFiveInAnyOrderCompleteTheI5) {
  const Board board(20);
  TileMoves moves = get_tile_moves(board, 0);
  // The bottom square first, then the top one: only I5 down still covers both.
  TileMoves::Narrowing step = moves.narrow(80);
  EXPECT_TRUE(step.was_key);
  EXPECT_FALSE(step.now_empty);
  step = moves.narrow(0);
  EXPECT_TRUE(step.was_key);
  EXPECT_FALSE(step.now_empty);
  EXPECT_EQ(moves.legal_tiles(), (Cells{20, 40, 60}));
  EXPECT_EQ(moves.placements(40), (std::vector<Placement>{{9, 1, 0}}));
  EXPECT_EQ(moves.played_count(), 2u);
  moves.narrow(40);
  moves.narrow(20);
  EXPECT_EQ(moves.legal_tiles(), Cells{60});
  step = moves.narrow(60);
  EXPECT_TRUE(step.was_key);
  EXPECT_TRUE(step.now_empty);
  ASSERT_TRUE(step.first_piece_index.has_value());
  EXPECT_EQ(*step.first_piece_index, 9u);
  EXPECT_TRUE(moves.empty());
}

TEST(Narrowing, TileThatIsNotAKeyChangesNothing) {
  const Board board(20);
  TileMoves moves = get_tile_moves(board, 0);
  moves.narrow(0);
  const Cells before = moves.legal_tiles();
  const std::vector<Placement> set21 = moves.placements(21);
  for (std::size_t tile : {0u, 5u, 100u, 399u}) {
    const TileMoves::Narrowing step = moves.narrow(tile);
    EXPECT_FALSE(step.was_key) << tile;
    EXPECT_EQ(moves.legal_tiles(), before);
    EXPECT_EQ(moves.placements(21), set21);
    EXPECT_EQ(moves.played_count(), 1u);
  }
}

TEST(Narrowing, CopiesNarrowIndependently) {
  const Board board(20);
  const TileMoves original = get_tile_moves(board, 0);
  TileMoves copy = original;
  copy.narrow(0);
  copy.narrow(1);
  EXPECT_TRUE(original.contains(0));
  EXPECT_TRUE(original.contains(80));
  EXPECT_EQ(original.played_count(), 0u);
  EXPECT_EQ(original.legal_tiles(), get_tile_moves(board, 0).legal_tiles());
  EXPECT_FALSE(copy.contains(80));
}

// Plays random games, and at the start of every turn checks the map against every valid
// placement and then narrows copies of it with each legal first tile followed by random tiles,
// checking after every tile that exactly the placements covering all tiles so far remain.
void check_turns(std::size_t dim, std::uint32_t seed, std::size_t max_turns) {
  std::mt19937 rng(seed);
  Game game = Game::reset(dim);
  std::size_t turns = 0;
  while (!game.is_terminal() && turns < max_turns) {
    ASSERT_EQ(game.tile_moves().played_count(), 0u);
    const Board& board = game.board();
    const std::size_t player = game.current_player();
    const PlacementSet start = all_valid(board, player);
    const TileMoves fresh = get_tile_moves(board, player);
    ASSERT_NO_FATAL_FAILURE(expect_map(fresh, board, player, start, {}));
    ASSERT_NO_FATAL_FAILURE(expect_map(game.tile_moves(), board, player, start, {}));

    for (std::size_t first : fresh.legal_tiles()) {
      TileMoves moves = fresh;
      PlacementSet live = start;
      std::set<std::size_t> played;
      std::size_t tile = first;
      while (true) {
        SCOPED_TRACE("dim " + std::to_string(dim) + " player " + std::to_string(player) + " tile " +
                     std::to_string(tile) + " after " + std::to_string(played.size()));
        PlacementSet through;
        for (const Placement& p : live) {
          if (covers(board, player, p, tile)) through.insert(p);
        }
        const TileMoves::Narrowing step = moves.narrow(tile);
        live = through;
        played.insert(tile);
        ASSERT_TRUE(step.was_key);
        ASSERT_NO_FATAL_FAILURE(expect_map(moves, board, player, live, played));
        ASSERT_EQ(moves.played_count(), played.size());
        if (step.now_empty) {
          // Every placement left covers exactly the tiles played: one piece.
          ASSERT_TRUE(step.first_piece_index.has_value());
          for (const Placement& p : live) {
            EXPECT_EQ(p.piece_index, *step.first_piece_index);
            const Cells cells = cells_of(board, player, p);
            EXPECT_EQ(std::set<std::size_t>(cells.begin(), cells.end()), played);
          }
          break;
        }
        const Cells keys = moves.legal_tiles();
        tile = keys[std::uniform_int_distribution<std::size_t>(0, keys.size() - 1)(rng)];
      }
    }

    // Move the game on by one random whole piece.
    do {
      const Cells legal = game.get_legal_tiles();
      ASSERT_FALSE(legal.empty());
      const std::size_t t =
          legal[std::uniform_int_distribution<std::size_t>(0, legal.size() - 1)(rng)];
      ASSERT_EQ(game.apply(t), std::nullopt);
    } while (!game.is_terminal() && game.tile_moves().played_count() != 0);
    ++turns;
  }
}

TEST(Narrowing, MatchesEveryValidPlacementThroughWholeGamesOnSmallBoards) {
  check_turns(4, 1, 1000);
  check_turns(5, 2, 1000);
  check_turns(6, 3, 1000);
  check_turns(7, 4, 1000);
}

TEST(Narrowing, MatchesEveryValidPlacementOnLargerBoards) {
  check_turns(9, 5, 1000);
  check_turns(13, 6, 24);
  check_turns(20, 7, 16);
  check_turns(25, 8, 8);
}

}  // namespace
}  // namespace tessarin

// Move generation: the map from each tile the player may play next to the placements of whole
// pieces that cover it, built at the start of a turn and narrowed by every tile played.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <ostream>
#include <set>
#include <vector>

#include "board.h"
#include "fatal.h"
#include "tile_moves.h"

namespace tessarin {

// Placements print as (piece index, variant index, anchor) in failure messages.
inline void PrintTo(const Placement& p, std::ostream* out) {
  *out << "(" << p.piece_index << ", " << p.variant_index << ", " << p.anchor << ")";
}

namespace {

using Cells = std::vector<std::size_t>;

// Two separate squares give player 0 the corner cells 21, 22 and 24; I2 across on 21 and 22
// touches two of them and must still be listed once, and once in each cell's set.
TEST(TileMoveTable, PlacementOnTwoCornerCellsIsListedOnce) {
  Board board(20);
  board.place_tile(0, 0);
  board.place_tile(3, 0);
  ASSERT_EQ(board.corners(0), (Cells{21, 22, 24}));

  const auto table = build_tile_move_table(board, 0);
  EXPECT_EQ(table->player(), 0u);
  EXPECT_EQ(table->dim(), 20u);
  std::set<Placement> listed;
  for (std::size_t id = 0; id < table->records().size(); ++id)
    listed.insert(table->placement(id));
  EXPECT_EQ(listed.size(), table->records().size());
  EXPECT_TRUE(std::is_sorted(table->keys().begin(), table->keys().end()));
  EXPECT_EQ(std::adjacent_find(table->keys().begin(), table->keys().end()), table->keys().end());

  const TileMoves moves(table);
  const Placement across{1, 0, 21};
  EXPECT_TRUE(listed.contains(across));
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
  EXPECT_FALSE(none.contains(1));
  EXPECT_TRUE(build_tile_move_table(blocked, 0)->keys().empty());
  EXPECT_FALSE(get_tile_moves(blocked, 2).empty());

  Board emptied(20);
  for (int i = 0; i < 21; ++i)
    emptied.remove_piece(3, 0);
  ASSERT_EQ(emptied.corners(3), Cells{380});
  EXPECT_TRUE(get_tile_moves(emptied, 3).empty());
  EXPECT_TRUE(get_tile_moves(emptied, 3).legal_tiles().empty());

  const TileMoves defaulted;
  EXPECT_TRUE(defaulted.empty());
  EXPECT_TRUE(defaulted.legal_tiles().empty());
  EXPECT_FALSE(defaulted.contains(0));

  EXPECT_THROW(get_tile_moves(blocked, 4), FatalStop);
  EXPECT_THROW(build_tile_move_table(blocked, 4), FatalStop);
}

// The bottom square first, then the top one: only I5 down still covers both. A tile that is not
// a key then changes nothing, and the last square completes the piece.
TEST(Narrowing, TilesOfTheStraightFiveInAnyOrderCompleteTheI5) {
  const Board board(20);
  TileMoves moves = get_tile_moves(board, 0);
  TileMoves::Narrowing step = moves.narrow(80);
  EXPECT_TRUE(step.was_key);
  EXPECT_FALSE(step.now_empty);
  step = moves.narrow(0);
  EXPECT_TRUE(step.was_key);
  EXPECT_FALSE(step.now_empty);
  EXPECT_EQ(moves.legal_tiles(), (Cells{20, 40, 60}));
  EXPECT_EQ(moves.placements(40), (std::vector<Placement>{{9, 1, 0}}));
  EXPECT_EQ(moves.played_count(), 2u);

  for (std::size_t tile : {0u, 1u, 80u, 399u}) {
    EXPECT_FALSE(moves.narrow(tile).was_key) << tile;
    EXPECT_EQ(moves.legal_tiles(), (Cells{20, 40, 60}));
    EXPECT_EQ(moves.played_count(), 2u);
  }

  moves.narrow(40);
  moves.narrow(20);
  EXPECT_EQ(moves.legal_tiles(), Cells{60});
  step = moves.narrow(60);
  EXPECT_TRUE(step.was_key);
  EXPECT_TRUE(step.now_empty);
  EXPECT_EQ(step.first_piece_index, 9u);
  EXPECT_TRUE(moves.empty());
}

}  // namespace
}  // namespace tessarin

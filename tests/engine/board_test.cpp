// The board: cells and their closed bits, corner sets, legality of a placement, scores, the
// network's ownership planes and the text rendering.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "board.h"
#include "fatal.h"
#include "pieces.h"

namespace tessarin {
namespace {

using Cells = std::vector<std::size_t>;
using Scores = std::array<std::int32_t, 4>;

void expect_same_board(const Board& a, const Board& b) {
  ASSERT_EQ(a.dim(), b.dim());
  for (std::size_t i = 0; i < a.cell_count(); ++i)
    ASSERT_EQ(a.cell(i), b.cell(i)) << "cell " << i;
  for (std::size_t p = 0; p < 4; ++p) {
    EXPECT_EQ(a.corners(p), b.corners(p)) << "player " << p;
    EXPECT_EQ(a.pieces(p).kinds(), b.pieces(p).kinds()) << "player " << p;
  }
}

TEST(NewBoard, EmptyCellsStartCornersFullSetsAndDiagonals) {
  const Board board(20);
  EXPECT_EQ(board.dim(), 20u);
  EXPECT_EQ(board.cell_count(), 400u);
  for (std::size_t i = 0; i < 400; ++i)
    ASSERT_EQ(board.cell(i), 0) << i;
  EXPECT_EQ(board.corners(0), Cells{0});
  EXPECT_EQ(board.corners(1), Cells{19});
  EXPECT_EQ(board.corners(2), Cells{399});
  EXPECT_EQ(board.corners(3), Cells{380});
  EXPECT_EQ(board.diagonals(), (std::array<std::int32_t, 4>{21, -21, -19, 19}));
  for (std::size_t p = 0; p < 4; ++p) {
    const PieceList pieces = board.pieces(p);
    ASSERT_EQ(pieces.size(), 21u);
    for (std::size_t i = 0; i < 21; ++i) {
      EXPECT_EQ(pieces.kind(i), i);
      EXPECT_EQ(pieces[i].id, i);
    }
  }
}

TEST(ValidMove, FirstMovesOfPlayersZeroAndOne) {
  Board board(20);
  const PieceVariant& i1 = board.piece_set().piece(0).variants[0];
  for (std::size_t a = 0; a < 400; ++a) {
    EXPECT_EQ(board.is_valid_move(0, i1, a), a == 0) << a;
    EXPECT_EQ(board.is_valid_move(1, i1, a), a == 19) << a;
  }
  // V3 turned has no square at its top-left cell, so it can never cover player 0's corner.
  const PieceVariant& v3_turned = board.piece_set().piece(2).variants[1];
  ASSERT_EQ(v3_turned.offsets, (Cells{1, 20, 21}));
  for (std::size_t a = 0; a < 400; ++a)
    EXPECT_FALSE(board.is_valid_move(0, v3_turned, a)) << a;

  board.place_tile(0, 0);
  EXPECT_TRUE(board.is_valid_move(0, i1, 21));
  EXPECT_FALSE(board.is_valid_move(0, i1, 0));  // occupied
  EXPECT_FALSE(board.is_valid_move(0, i1, 1));  // beside its own square
  EXPECT_FALSE(board.is_valid_move(0, i1, 2));  // free, but touches no corner
  EXPECT_FALSE(board.is_valid_move(1, i1, 0));  // occupied, for everyone
}

// The bounding box must not leave the board: a row that runs off the right edge would otherwise
// continue on the next row with offsets still inside the board.
TEST(ValidMove, PieceMayNotWrapAcrossAnEdge) {
  const Board board(20);
  const PieceSet& set = board.piece_set();
  const PieceVariant& i2_across = set.piece(1).variants[0];
  const PieceVariant& i2_down = set.piece(1).variants[1];
  const PieceVariant& l4_hook = set.piece(5).variants[1];  // XXX / ..X: 0, 1, 2, 22

  EXPECT_TRUE(board.is_valid_move(1, i2_across, 18));
  EXPECT_FALSE(board.is_valid_move(1, i2_across, 19));   // 19, 20
  EXPECT_FALSE(board.is_valid_move(1, l4_hook, 18));     // 18, 19, 20, 40
  EXPECT_FALSE(board.is_valid_move(3, i2_across, 379));  // 379 (row 18, column 19), 380
  EXPECT_TRUE(board.is_valid_move(3, i2_across, 380));
  EXPECT_TRUE(board.is_valid_move(2, i2_down, 379));
  EXPECT_FALSE(board.is_valid_move(2, i2_down, 399));  // would reach 419

  // A single row wider than the board is built but fits nowhere.
  const Board small(4);
  const PieceVariant& i5_across = small.piece_set().piece(9).variants[0];
  for (std::size_t a = 0; a < 20; ++a) {
    for (std::size_t p = 0; p < 4; ++p)
      EXPECT_FALSE(small.is_valid_move(p, i5_across, a)) << a;
  }
}

// A square closes its edge neighbours to its owner and opens its diagonal cells, neither
// reaching across a side edge of the board.
TEST(PlaceTile, CornerSetsAndClosedCellsStopAtTheEdges) {
  Board board(20);
  board.place_tile(0, 0);
  EXPECT_EQ(board.cell(0), 0xF1);
  EXPECT_EQ(board.cell(1), 0x10);
  EXPECT_EQ(board.cell(20), 0x10);
  EXPECT_EQ(board.cell(21), 0x00);
  EXPECT_EQ(board.cell(19), 0x00);
  EXPECT_EQ(board.corners(0), Cells{21});  // 0 + 19 wraps to the right edge
  EXPECT_EQ(board.owner(0), 1u);
  EXPECT_EQ(board.owner(1), 0u);

  board.place_tile(19, 1);
  EXPECT_EQ(board.cell(19), 0xF2);
  EXPECT_EQ(board.cell(18), 0x20);
  EXPECT_EQ(board.cell(39), 0x20);
  EXPECT_EQ(board.corners(1), Cells{38});  // 40 and 0 wrap, -2 is off the board
  EXPECT_EQ(board.corners(0), Cells{21});

  board.place_tile(399, 2);
  board.place_tile(380, 3);
  EXPECT_EQ(board.cell(399), 0xF3);
  EXPECT_EQ(board.cell(379), 0x40);
  EXPECT_EQ(board.corners(2), Cells{378});
  EXPECT_EQ(board.cell(380), 0xF4);
  EXPECT_EQ(board.cell(381), 0x80);
  EXPECT_EQ(board.corners(3), Cells{361});

  Board left(20);
  left.place_tile(20, 0);                      // row 1, column 0
  EXPECT_EQ(left.cell(19), 0x00);              // the cell before 20 is on the other side
  EXPECT_EQ(left.corners(0), (Cells{1, 41}));  // the start corner is closed now; 39 wraps

  Board right(20);
  right.place_tile(39, 0);                          // row 1, column 19
  EXPECT_EQ(right.cell(40), 0x00);                  // the cell after 39 is on the other side
  EXPECT_EQ(right.corners(0), (Cells{0, 18, 58}));  // 60 and 20 wrap
}

// Closing a neighbour for another player as well, or not at all, went unnoticed in the corners.
TEST(PlaceTile, InnerSquareClosesItsFourNeighboursForItsOwnerOnly) {
  for (std::size_t cell : {21u, 210u, 378u}) {
    Board board(20);
    board.place_tile(cell, 2);
    EXPECT_EQ(board.cell(cell), 0xF3);
    for (std::size_t n : {cell - 1, cell + 1, cell - 20, cell + 20})
      EXPECT_EQ(board.cell(n), 0x40) << cell << " beside " << n;
    // With 378, the diagonal cell 399 is also the start corner.
    const std::set<std::size_t> corners = {cell - 21, cell - 19, cell + 19, cell + 21, 399};
    EXPECT_EQ(board.corners(2), Cells(corners.begin(), corners.end()));
    std::size_t touched = 0;
    for (std::size_t i = 0; i < 400; ++i)
      touched += board.cell(i) != 0 ? 1 : 0;
    EXPECT_EQ(touched, 5u) << cell;
  }
}

TEST(CornerSet, OccupiedCellLeavesEveryCornerSet) {
  Board board(20);
  board.place_tile(0, 0);
  board.place_tile(21, 1);  // on player 0's only corner cell
  EXPECT_EQ(board.cell(21), 0xF2);
  EXPECT_TRUE(board.corners(0).empty());
  EXPECT_EQ(board.corners(1), (Cells{2, 19, 40, 42}));  // 0 is occupied
  EXPECT_EQ(board.cell(1), 0x30);

  Board taken(20);
  taken.place_tile(0, 3);
  EXPECT_TRUE(taken.corners(0).empty());
}

TEST(CornerSet, CellDiagonalToTwoSquaresIsListedOnce) {
  Board board(20);
  board.place_tile(0, 0);
  board.place_tile(42, 0);
  EXPECT_EQ(board.corners(0), (Cells{21, 23, 61, 63}));
  EXPECT_TRUE(board.is_corner(0, 21));
  EXPECT_FALSE(board.is_corner(1, 21));
}

TEST(CornerSet, DiagonalCellBesideAnotherOwnSquareStaysOutInEitherOrder) {
  Board first(20);
  first.place_tile(0, 0);
  first.place_tile(22, 0);
  Board second(20);
  second.place_tile(22, 0);
  EXPECT_EQ(second.corners(0), (Cells{0, 1, 3, 41, 43}));
  second.place_tile(0, 0);
  EXPECT_EQ(first.corners(0), (Cells{3, 41, 43}));
  expect_same_board(first, second);

  // Another player's square beside the cell does not close it to player 0.
  Board other(20);
  other.place_tile(0, 0);
  other.place_tile(22, 1);
  EXPECT_EQ(other.corners(0), Cells{21});
  EXPECT_EQ(other.cell(21), 0x20);
}

TEST(Scores, SquaresDownLessEightyNineWithBonusesForAFinishedSet) {
  Board board(20);
  for (std::size_t c = 100; c < 110; ++c)
    board.place_tile(c, 0);
  EXPECT_EQ(board.get_scores({5, 0, 0, 0}), (Scores{-79, -89, -89, -89}));

  Board done(20);
  for (std::size_t c = 0; c < 89; ++c)
    done.place_tile(c, 1);
  for (int i = 0; i < 21; ++i)
    done.remove_piece(1, 0);
  EXPECT_EQ(done.get_scores({0, 5, 0, 0}), (Scores{-89, 15, -89, -89}));
  EXPECT_EQ(done.get_scores({0, 2, 0, 0}), (Scores{-89, 15, -89, -89}));
  EXPECT_EQ(done.get_scores({0, 1, 0, 0}), (Scores{-89, 20, -89, -89}));
  // The single-square bonus needs the whole set placed, not just the last piece.
  EXPECT_EQ(done.get_scores({1, 1, 1, 1}), (Scores{-89, 20, -89, -89}));

  // With the set gone the bonus is counted from the squares actually down.
  Board partial(20);
  for (std::size_t c = 0; c < 30; ++c)
    partial.place_tile(c, 2);
  for (int i = 0; i < 21; ++i)
    partial.remove_piece(2, 0);
  EXPECT_EQ(partial.get_scores({0, 0, 4, 0})[2], -44);
  EXPECT_EQ(partial.get_scores({0, 0, 1, 0})[2], -39);
}

// Plane (owner - viewer) mod 4 holds the owner's squares; closed cells and corners do not show.
TEST(Representation, PlanesAreSeenFromPlayerTwoInBothLayouts) {
  Board board(20);
  board.place_tile(2 * 20 + 5, 0);
  board.place_tile(7 * 20 + 1, 1);
  board.place_tile(13 * 20 + 17, 2);
  board.place_tile(18 * 20 + 3, 3);

  const StateTensor planes = board.get_rep(false, 2);
  ASSERT_EQ(planes.shape, (std::array<std::size_t, 3>{4, 20, 20}));
  ASSERT_EQ(planes.data.size(), 1600u);
  EXPECT_TRUE(planes.at(0, 13, 17));  // player 2 itself
  EXPECT_TRUE(planes.at(1, 18, 3));   // player 3
  EXPECT_TRUE(planes.at(2, 2, 5));    // player 0
  EXPECT_TRUE(planes.at(3, 7, 1));    // player 1

  const StateTensor cells = board.get_rep(true, 2);
  ASSERT_EQ(cells.shape, (std::array<std::size_t, 3>{20, 20, 4}));
  ASSERT_EQ(cells.data.size(), 1600u);
  EXPECT_TRUE(cells.at(13, 17, 0));
  EXPECT_TRUE(cells.at(18, 3, 1));
  EXPECT_TRUE(cells.at(2, 5, 2));
  EXPECT_TRUE(cells.at(7, 1, 3));

  std::size_t set_planes = 0;
  std::size_t set_cells = 0;
  for (std::size_t i = 0; i < 1600; ++i) {
    set_planes += planes.data[i];
    set_cells += cells.data[i];
  }
  EXPECT_EQ(set_planes, 4u);
  EXPECT_EQ(set_cells, 4u);
}

TEST(Rendering, EmptyBoardAndOneSquareOfEachPlayer) {
  Board board(4);
  const std::string w = "\u2B1C";
  const std::string empty_row = w + w + w + w + "\n";
  EXPECT_EQ(board.render(), empty_row + empty_row + empty_row + empty_row);

  board.place_tile(1, 0);   // row 0, column 1
  board.place_tile(7, 1);   // row 1, column 3
  board.place_tile(14, 2);  // row 3, column 2
  board.place_tile(8, 3);   // row 2, column 0
  const std::string red = "\U0001F7E5";
  const std::string blue = "\U0001F7E6";
  const std::string yellow = "\U0001F7E8";
  const std::string green = "\U0001F7E9";
  const std::string expected = w + red + w + w + "\n" +    //
                               w + w + w + blue + "\n" +   //
                               green + w + w + w + "\n" +  //
                               w + w + yellow + w + "\n";
  EXPECT_EQ(board.render(), expected);
  std::ostringstream out;
  board.print_board(out);
  EXPECT_EQ(out.str(), expected + "\n");
}

// Side 20 keeps its bitsets inside the board, side 36 on the heap; copies, assignments and moves
// between the two, both ways, must not share cells.
TEST(BoardValue, CopiesAcrossTheInlineAndHeapSizesAreIndependent) {
  for (std::size_t dim : {20u, 36u}) {
    SCOPED_TRACE(dim);
    Board original(dim);
    original.place_tile(0, 0);
    Board copy = original;
    copy.place_tile(dim + 1, 0);
    copy.remove_piece(0, 3);
    EXPECT_EQ(original.cell(dim + 1), 0x00);
    EXPECT_EQ(original.corners(0), Cells{dim + 1});
    EXPECT_EQ(original.pieces(0).size(), 21u);
    EXPECT_EQ(copy.pieces(0).size(), 20u);
  }

  Board big(36);
  big.place_tile(37, 2);
  Board small(20);
  small.place_tile(21, 3);
  Board target(5);
  target = big;
  expect_same_board(target, big);
  target.place_tile(100, 1);
  EXPECT_EQ(big.cell(100), 0x00);
  target = small;
  expect_same_board(target, small);
  target = big;
  expect_same_board(target, big);
  Board moved = std::move(target);
  expect_same_board(moved, big);
  moved = Board(20);
  expect_same_board(moved, Board(20));
}

TEST(BoardInput, OutOfRangeArgumentsStopWithoutChangingTheBoard) {
  Board board(20);
  board.place_tile(0, 0);
  const Board before = board;
  const PieceVariant& i1 = board.piece_set().piece(0).variants[0];

  EXPECT_THROW(board.cell(400), FatalStop);
  EXPECT_THROW(board.place_tile(400, 0), FatalStop);
  EXPECT_THROW(board.place_tile(100000, 1), FatalStop);
  EXPECT_THROW(board.place_tile(21, 4), FatalStop);
  EXPECT_THROW(board.is_valid_move(4, i1, 21), FatalStop);
  EXPECT_THROW(board.pieces(4), FatalStop);
  EXPECT_THROW(board.corners(4), FatalStop);
  EXPECT_THROW(board.get_rep(false, 4), FatalStop);
  EXPECT_THROW(board.get_rep(true, 7), FatalStop);
  EXPECT_THROW(board.remove_piece(0, 21), FatalStop);
  EXPECT_THROW(board.remove_piece(4, 0), FatalStop);
  EXPECT_THROW(Board(kMaxDim + 1), FatalStop);
  EXPECT_THROW(check_player(4), FatalStop);
  EXPECT_NO_THROW(check_player(3));
  expect_same_board(board, before);

  // The index counts the pieces still held: with 20 left, 20 is past the end.
  board.remove_piece(1, 0);
  EXPECT_THROW(board.remove_piece(1, 20), FatalStop);
  EXPECT_EQ(board.remove_piece(1, 19), 5u);  // T5, the last one
  EXPECT_EQ(board.pieces(1).kind(0), 1u);
}

}  // namespace
}  // namespace tessarin

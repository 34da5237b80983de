// The board: cells and their closed bits, corner sets, legality of a placement, scores, the
// network's ownership planes and the text rendering.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
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

std::size_t start_corner(std::size_t player, std::size_t dim) {
  const std::size_t corners[4] = {0, dim - 1, dim * dim - 1, (dim - 1) * dim};
  return corners[player];
}

// The cells covered by `variant` laid with its top-left bounding-box cell on `anchor`, worked out
// from its shape in rows and columns; nullopt when a square would leave the board.
std::optional<Cells> covered(const PieceVariant& variant, std::size_t anchor, std::size_t dim) {
  const std::size_t row0 = anchor / dim;
  const std::size_t col0 = anchor % dim;
  Cells cells;
  for (std::size_t r = 0; r < variant.shape.size(); ++r) {
    for (std::size_t c = 0; c < variant.shape[r].size(); ++c) {
      if (!variant.shape[r][c]) continue;
      if (row0 + r >= dim || col0 + c >= dim) return std::nullopt;
      cells.push_back((row0 + r) * dim + col0 + c);
    }
  }
  return cells;
}

// Legality worked out from the cell bytes and the corner set: on the board, no square on a cell
// closed to `player`, and some square on a corner cell of `player`.
bool expected_valid(const Board& board, std::size_t player, const PieceVariant& variant,
                    std::size_t anchor) {
  const std::optional<Cells> cells = covered(variant, anchor, board.dim());
  if (!cells) return false;
  const Cells corners = board.corners(player);
  bool touches = false;
  for (std::size_t c : *cells) {
    if (board.cell(c) & (0x10 << player)) return false;
    touches = touches || std::find(corners.begin(), corners.end(), c) != corners.end();
  }
  return touches;
}

// Every (player, kind, variant, anchor) on the board, anchors running a little past the last cell.
void expect_validity_matches(const Board& board) {
  const std::size_t cells = board.cell_count();
  for (std::size_t p = 0; p < 4; ++p) {
    for (std::size_t k = 0; k < kPieceKinds; ++k) {
      const Piece& piece = board.piece_set().piece(k);
      for (std::size_t v = 0; v < piece.variants.size(); ++v) {
        for (std::size_t a = 0; a < cells + board.dim() + 2; ++a) {
          ASSERT_EQ(board.is_valid_move(p, piece.variants[v], a),
                    expected_valid(board, p, piece.variants[v], a))
              << "player " << p << " kind " << k << " variant " << v << " anchor " << a << " dim "
              << board.dim();
        }
      }
    }
  }
}

std::vector<std::uint8_t> all_cells(const Board& board) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < board.cell_count(); ++i)
    out.push_back(board.cell(i));
  return out;
}

std::array<Cells, 4> all_corners(const Board& board) {
  return {board.corners(0), board.corners(1), board.corners(2), board.corners(3)};
}

std::array<std::uint32_t, 4> held_kinds(const Board& board) {
  return {board.pieces(0).kinds(), board.pieces(1).kinds(), board.pieces(2).kinds(),
          board.pieces(3).kinds()};
}

void expect_same_board(const Board& a, const Board& b) {
  EXPECT_EQ(a.dim(), b.dim());
  EXPECT_EQ(all_cells(a), all_cells(b));
  EXPECT_EQ(all_corners(a), all_corners(b));
  EXPECT_EQ(held_kinds(a), held_kinds(b));
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
    EXPECT_FALSE(pieces.empty());
    for (std::size_t i = 0; i < 21; ++i) {
      EXPECT_EQ(pieces.kind(i), i);
      EXPECT_EQ(pieces[i].id, i);
    }
  }

  const Board small(4);
  EXPECT_EQ(small.corners(0), Cells{0});
  EXPECT_EQ(small.corners(1), Cells{3});
  EXPECT_EQ(small.corners(2), Cells{15});
  EXPECT_EQ(small.corners(3), Cells{12});
  EXPECT_EQ(small.diagonals(), (std::array<std::int32_t, 4>{5, -5, -3, 3}));
}

// On a new board a placement is valid exactly when it lies on the board and covers the player's
// start corner.
TEST(ValidMove, FirstPieceMustCoverTheStartCorner) {
  for (std::size_t dim : {4u, 20u}) {
    const Board board(dim);
    const std::size_t cells = board.cell_count();
    for (std::size_t p = 0; p < 4; ++p) {
      const std::size_t corner = start_corner(p, dim);
      for (std::size_t k = 0; k < kPieceKinds; ++k) {
        const Piece& piece = board.pieces(p)[k];
        for (std::size_t v = 0; v < piece.variants.size(); ++v) {
          for (std::size_t a = 0; a < cells + dim + 2; ++a) {
            const std::optional<Cells> on_board = covered(piece.variants[v], a, dim);
            const bool expected = on_board && std::find(on_board->begin(), on_board->end(),
                                                        corner) != on_board->end();
            ASSERT_EQ(board.is_valid_move(p, piece.variants[v], a), expected)
                << "dim " << dim << " player " << p << " kind " << k << " variant " << v
                << " anchor " << a;
          }
        }
      }
    }
  }
}

TEST(ValidMove, PlayerZeroOpensOnlyWithVariantsFilledAtTheirTopLeftCell) {
  const Board board(20);
  std::size_t valid = 0;
  std::size_t filled_top_left = 0;
  for (std::size_t k = 0; k < kPieceKinds; ++k) {
    const Piece& piece = board.pieces(0)[k];
    for (std::size_t v = 0; v < piece.variants.size(); ++v) {
      const bool has_zero = piece.variants[v].offsets.front() == 0;
      filled_top_left += has_zero ? 1 : 0;
      for (std::size_t a = 0; a < 400; ++a) {
        if (board.is_valid_move(0, piece.variants[v], a)) {
          ++valid;
          EXPECT_EQ(a, 0u) << "kind " << k << " variant " << v;
          EXPECT_TRUE(has_zero) << "kind " << k << " variant " << v;
        }
      }
    }
  }
  EXPECT_EQ(valid, filled_top_left);

  const PieceVariant& v3_turned = board.pieces(0)[2].variants[1];
  ASSERT_EQ(v3_turned.offsets, (Cells{1, 20, 21}));
  for (std::size_t a = 0; a < 400; ++a)
    EXPECT_FALSE(board.is_valid_move(0, v3_turned, a)) << a;

  const PieceVariant& i1 = board.pieces(0)[0].variants[0];
  for (std::size_t a = 0; a < 400; ++a) {
    EXPECT_EQ(board.is_valid_move(0, i1, a), a == 0) << a;
    EXPECT_EQ(board.is_valid_move(1, i1, a), a == 19) << a;
  }
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
      EXPECT_FALSE(small.is_valid_move(p, i5_across, a));
  }
}

TEST(ValidMove, ClosedAndOccupiedCellsAndCornerContactOnBusyBoards) {
  // Squares of all four players, some touching each other, near edges and in the middle.
  Board seven(7);
  const std::pair<std::size_t, std::size_t> moves7[] = {{0, 0},  {8, 0},  {6, 1},  {12, 1}, {48, 2},
                                                        {40, 2}, {42, 3}, {36, 3}, {16, 0}, {18, 1},
                                                        {24, 2}, {30, 3}, {13, 1}, {22, 0}};
  for (auto [cell, player] : moves7)
    seven.place_tile(cell, player);
  expect_validity_matches(seven);

  Board five(5);
  for (auto [cell, player] : std::initializer_list<std::pair<std::size_t, std::size_t>>{
           {0, 0}, {6, 0}, {4, 1}, {8, 1}, {24, 2}, {20, 3}, {12, 2}, {16, 3}})
    five.place_tile(cell, player);
  expect_validity_matches(five);

  Board twenty(20);
  twenty.place_tile(0, 0);
  const PieceVariant& i1 = twenty.piece_set().piece(0).variants[0];
  EXPECT_TRUE(twenty.is_valid_move(0, i1, 21));
  EXPECT_FALSE(twenty.is_valid_move(0, i1, 0));  // occupied
  EXPECT_FALSE(twenty.is_valid_move(0, i1, 1));  // beside its own square
  EXPECT_FALSE(twenty.is_valid_move(0, i1, 2));  // free, but touches no corner
  EXPECT_FALSE(twenty.is_valid_move(1, i1, 0));  // occupied, for everyone
}

TEST(PlaceTile, FirstSquareInEachStartCorner) {
  Board board(20);
  board.place_tile(0, 0);
  EXPECT_EQ(board.cell(0), 0xF1);
  EXPECT_EQ(board.cell(1), 0x10);
  EXPECT_EQ(board.cell(20), 0x10);
  EXPECT_EQ(board.cell(21), 0x00);
  EXPECT_EQ(board.cell(19), 0x00);
  EXPECT_EQ(board.corners(0), Cells{21});  // 0 + 19 wraps to the right edge
  EXPECT_EQ(board.corners(1), Cells{19});
  EXPECT_EQ(board.owner(0), 1u);
  EXPECT_EQ(board.owner(1), 0u);

  board.place_tile(19, 1);
  EXPECT_EQ(board.cell(19), 0xF2);
  EXPECT_EQ(board.cell(18), 0x20);
  EXPECT_EQ(board.cell(39), 0x20);
  EXPECT_EQ(board.corners(1), Cells{38});  // 40 and 0 wrap, -2 is off the board
  EXPECT_EQ(board.corners(0), Cells{21});

  board.place_tile(399, 2);
  EXPECT_EQ(board.cell(399), 0xF3);
  EXPECT_EQ(board.cell(398), 0x40);
  EXPECT_EQ(board.cell(379), 0x40);
  EXPECT_EQ(board.corners(2), Cells{378});

  board.place_tile(380, 3);
  EXPECT_EQ(board.cell(380), 0xF4);
  EXPECT_EQ(board.cell(381), 0x80);
  EXPECT_EQ(board.cell(360), 0x80);
  EXPECT_EQ(board.corners(3), Cells{361});

  EXPECT_EQ(board.corners(0), Cells{21});
  EXPECT_EQ(board.corners(1), Cells{38});
  EXPECT_EQ(board.corners(2), Cells{378});
}

TEST(PlaceTile, SideColumnSquaresDoNotReachAcrossTheEdge) {
  Board left(20);
  left.place_tile(20, 0);  // row 1, column 0
  EXPECT_EQ(left.cell(0), 0x10);
  EXPECT_EQ(left.cell(21), 0x10);
  EXPECT_EQ(left.cell(40), 0x10);
  EXPECT_EQ(left.cell(19), 0x00);              // the cell before 20 is on the other side
  EXPECT_EQ(left.corners(0), (Cells{1, 41}));  // the start corner is closed now; 39 wraps

  Board right(20);
  right.place_tile(39, 0);  // row 1, column 19
  EXPECT_EQ(right.cell(38), 0x10);
  EXPECT_EQ(right.cell(19), 0x10);
  EXPECT_EQ(right.cell(59), 0x10);
  EXPECT_EQ(right.cell(40), 0x00);                  // the cell after 39 is on the other side
  EXPECT_EQ(right.corners(0), (Cells{0, 18, 58}));  // 60 and 20 wrap
}

// A square closes its four edge neighbours to its owner only, and opens its four diagonal cells.
TEST(PlaceTile, InnerSquareClosesItsEdgeNeighboursForItsOwner) {
  for (std::size_t cell : {21u, 378u, 210u}) {
    Board board(20);
    board.place_tile(cell, 2);
    EXPECT_EQ(board.cell(cell), 0xF3);
    for (std::size_t n : {cell - 1, cell + 1, cell - 20, cell + 20}) {
      EXPECT_EQ(board.cell(n), 0x40) << cell << " beside " << n;
    }
    const std::set<std::size_t> diagonal = {cell - 21, cell - 19, cell + 19, cell + 21, 399};
    EXPECT_EQ(board.corners(2), Cells(diagonal.begin(), diagonal.end()));
    std::size_t closed = 0;
    for (std::size_t i = 0; i < 400; ++i)
      closed += board.cell(i) != 0 ? 1 : 0;
    EXPECT_EQ(closed, 5u);
  }
}

TEST(PlaceTile, OccupiedCellLeavesEveryCornerSetAndIsClosedToAll) {
  Board board(20);
  board.place_tile(0, 0);
  board.place_tile(21, 1);  // on player 0's only corner cell
  EXPECT_EQ(board.cell(21), 0xF2);
  EXPECT_TRUE(board.corners(0).empty());
  EXPECT_EQ(board.corners(1), (Cells{2, 19, 40, 42}));  // 0 is occupied
  EXPECT_EQ(board.cell(1), 0x30);
  EXPECT_EQ(board.cell(22), 0x20);

  Board taken(20);
  taken.place_tile(0, 3);
  EXPECT_TRUE(taken.corners(0).empty());
  EXPECT_EQ(taken.cell(0), 0xF4);
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

TEST(PlaceTile, SquaresOfOnePieceGiveTheSameBoardInAnyOrder) {
  // P5 laid at 0: 0, 1, 2, 20, 21; then a second piece beside it for another player.
  std::vector<std::size_t> cells = {0, 1, 2, 20, 21};
  Board reference(20);
  for (std::size_t c : cells)
    reference.place_tile(c, 0);
  reference.place_tile(23, 1);
  EXPECT_EQ(reference.corners(0), Cells{42});
  while (std::next_permutation(cells.begin(), cells.end())) {
    Board board(20);
    board.place_tile(23, 1);
    for (std::size_t c : cells)
      board.place_tile(c, 0);
    expect_same_board(board, reference);
  }
}

TEST(RemovePiece, LaterPiecesMoveUpAndOnlyThatPlayerChanges) {
  Board board(20);
  EXPECT_EQ(board.remove_piece(0, 0), 1u);  // I1
  EXPECT_EQ(board.pieces(0).size(), 20u);
  EXPECT_EQ(board.pieces(0).kind(0), 1u);
  EXPECT_EQ(board.remove_piece(0, 8), 5u);  // now I5 (kind 9)
  EXPECT_EQ(board.pieces(0).kind(8), 10u);
  EXPECT_EQ(board.pieces(0)[8].id, 10u);
  EXPECT_EQ(board.remove_piece(0, 17), 5u);  // F5
  EXPECT_EQ(board.pieces(0).kind(17), 20u);
  EXPECT_EQ(board.remove_piece(0, 17), 5u);  // the last one, T5
  EXPECT_EQ(board.pieces(0).size(), 17u);
  EXPECT_EQ(board.pieces(0).kind(16), 18u);
  for (std::size_t p = 1; p < 4; ++p)
    EXPECT_EQ(board.pieces(p).size(), 21u);
  EXPECT_EQ(board.remove_piece(3, 20), 5u);
  EXPECT_EQ(board.pieces(3).size(), 20u);
  for (std::size_t i = 0; i < 20; ++i)
    board.remove_piece(3, 0);
  EXPECT_TRUE(board.pieces(3).empty());
  EXPECT_EQ(board.pieces(3).size(), 0u);
}

TEST(Scores, SquaresDownLessEightyNineWithBonusesForAFinishedSet) {
  Board board(20);
  for (std::size_t c = 100; c < 110; ++c)
    board.place_tile(c, 0);
  for (std::size_t c = 200; c < 203; ++c)
    board.place_tile(c, 2);
  EXPECT_EQ(board.get_scores({5, 0, 3, 0}), (std::array<std::int32_t, 4>{-79, -89, -86, -89}));

  Board done(20);
  for (std::size_t c = 0; c < 89; ++c)
    done.place_tile(c, 1);
  for (int i = 0; i < 21; ++i)
    done.remove_piece(1, 0);
  EXPECT_EQ(done.get_scores({0, 5, 0, 0}), (std::array<std::int32_t, 4>{-89, 15, -89, -89}));
  EXPECT_EQ(done.get_scores({0, 2, 0, 0}), (std::array<std::int32_t, 4>{-89, 15, -89, -89}));
  EXPECT_EQ(done.get_scores({0, 1, 0, 0}), (std::array<std::int32_t, 4>{-89, 20, -89, -89}));
  // The single-square bonus needs the whole set placed, not just the last piece.
  EXPECT_EQ(done.get_scores({1, 1, 1, 1}), (std::array<std::int32_t, 4>{-89, 20, -89, -89}));

  // With the set gone the bonus is counted from the squares actually down.
  Board partial(20);
  for (std::size_t c = 0; c < 30; ++c)
    partial.place_tile(c, 2);
  for (int i = 0; i < 21; ++i)
    partial.remove_piece(2, 0);
  EXPECT_EQ(partial.get_scores({0, 0, 4, 0})[2], -44);
  EXPECT_EQ(partial.get_scores({0, 0, 1, 0})[2], -39);
}

TEST(Representation, PlanesAreSeenFromThePlayerInBothLayouts) {
  Board board(20);
  const std::size_t square[4] = {2 * 20 + 5, 7 * 20 + 1, 13 * 20 + 17, 18 * 20 + 3};
  for (std::size_t p = 0; p < 4; ++p)
    board.place_tile(square[p], p);

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

  for (std::size_t viewer = 0; viewer < 4; ++viewer) {
    const StateTensor first = board.get_rep(false, viewer);
    const StateTensor last = board.get_rep(true, viewer);
    std::size_t set_first = 0;
    std::size_t set_last = 0;
    for (std::uint8_t b : first.data)
      set_first += b;
    for (std::uint8_t b : last.data)
      set_last += b;
    EXPECT_EQ(set_first, 4u);  // closed cells and corners do not show
    EXPECT_EQ(set_last, 4u);
    for (std::size_t owner = 0; owner < 4; ++owner) {
      const std::size_t plane = (owner + 4 - viewer) % 4;
      const std::size_t r = square[owner] / 20;
      const std::size_t c = square[owner] % 20;
      EXPECT_TRUE(first.at(plane, r, c)) << "viewer " << viewer << " owner " << owner;
      EXPECT_TRUE(last.at(r, c, plane)) << "viewer " << viewer << " owner " << owner;
    }
  }
}

TEST(Rendering, EmptyBoardOfSideFour) {
  const Board board(4);
  const std::string line = "\u2B1C\u2B1C\u2B1C\u2B1C\n";
  EXPECT_EQ(board.render(), line + line + line + line);
  std::ostringstream out;
  board.print_board(out);
  EXPECT_EQ(out.str(), line + line + line + line + "\n");
}

TEST(Rendering, OneSquareOfEachPlayer) {
  Board board(4);
  board.place_tile(1, 0);   // row 0, column 1
  board.place_tile(7, 1);   // row 1, column 3
  board.place_tile(14, 2);  // row 3, column 2
  board.place_tile(8, 3);   // row 2, column 0
  const std::string white = "\u2B1C";
  const std::string red = "\U0001F7E5";
  const std::string blue = "\U0001F7E6";
  const std::string yellow = "\U0001F7E8";
  const std::string green = "\U0001F7E9";
  const std::string expected = white + red + white + white + "\n" +    //
                               white + white + white + blue + "\n" +   //
                               green + white + white + white + "\n" +  //
                               white + white + yellow + white + "\n";
  EXPECT_EQ(board.render(), expected);
  std::ostringstream out;
  board.print_board(out);
  EXPECT_EQ(out.str(), expected + "\n");
}

TEST(BoardValue, CopiesAndAssignmentsAreIndependent) {
  for (std::size_t dim : {20u, 36u}) {
    SCOPED_TRACE(dim);
    Board original(dim);
    original.place_tile(0, 0);
    Board copy = original;
    copy.place_tile(dim + 1, 0);
    copy.place_tile(dim - 1, 1);
    copy.remove_piece(0, 3);
    EXPECT_EQ(original.cell(dim + 1), 0x00);
    EXPECT_EQ(original.cell(dim - 1), 0x00);
    EXPECT_EQ(original.corners(0), Cells{dim + 1});
    EXPECT_EQ(original.corners(1), Cells{dim - 1});
    EXPECT_EQ(original.pieces(0).size(), 21u);
    EXPECT_EQ(copy.pieces(0).size(), 20u);
  }

  // Assignment between boards of different sides, both ways, and moves.
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

  for (int i = 0; i < 21; ++i)
    board.remove_piece(1, 0);
  EXPECT_THROW(board.remove_piece(1, 0), FatalStop);
}

}  // namespace
}  // namespace tessarin

// The piece set: the 21 kinds, their orientations in generation order, and how each orientation
// is flattened for a board side.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "board.h"
#include "fatal.h"
#include "game.h"
#include "pieces.h"

namespace tessarin {
namespace {

using Offsets = std::vector<std::size_t>;

// "XX/X." -> rows of booleans, row 0 first.
Shape parse(std::string_view text) {
  Shape shape(1);
  for (char ch : text) {
    if (ch == '/') {
      shape.emplace_back();
    } else {
      shape.back().push_back(ch == 'X');
    }
  }
  return shape;
}

std::string show(const Shape& shape) {
  std::string text;
  for (std::size_t r = 0; r < shape.size(); ++r) {
    if (r != 0) text += '/';
    for (bool cell : shape[r])
      text += cell ? 'X' : '.';
  }
  return text;
}

struct Kind {
  const char* name;
  const char* shape;
  std::uint32_t squares;
  std::vector<int> kept;  // candidates that become variants, in order
};

// Candidate i < 4 is the base turned i quarter turns clockwise; candidate 4 + i is the mirrored
// base turned i quarter turns. Later repeats are dropped.
const std::vector<Kind>& kinds() {
  static const std::vector<Kind> table = {
      {"I1", "X", 1, {0}},
      {"I2", "XX", 2, {0, 1}},
      {"V3", "XX/.X", 3, {0, 1, 2, 3}},
      {"I3", "XXX", 3, {0, 1}},
      {"I4", "XXXX", 4, {0, 1}},
      {"L4", "XX/X./X.", 4, {0, 1, 2, 3, 4, 5, 6, 7}},
      {"T4", "XXX/.X.", 4, {0, 1, 2, 3}},
      {"O4", "XX/XX", 4, {0}},
      {"Z4", "XX./.XX", 4, {0, 1, 4, 5}},
      {"I5", "XXXXX", 5, {0, 1}},
      {"L5", "XXXX/X...", 5, {0, 1, 2, 3, 4, 5, 6, 7}},
      {"N5", "XXX./..XX", 5, {0, 1, 2, 3, 4, 5, 6, 7}},
      {"P5", "XXX/XX.", 5, {0, 1, 2, 3, 4, 5, 6, 7}},
      {"V5", "XXX/X../X..", 5, {0, 1, 2, 3}},
      {"W5", "XX./.XX/..X", 5, {0, 1, 2, 3}},
      {"Z5", "XX./.X./.XX", 5, {0, 1, 4, 5}},
      {"U5", "XXX/X.X", 5, {0, 1, 2, 3}},
      {"Y5", "XXXX/.X..", 5, {0, 1, 2, 3, 4, 5, 6, 7}},
      {"X5", ".X./XXX/.X.", 5, {0}},
      {"F5", ".X./XXX/X..", 5, {0, 1, 2, 3, 4, 5, 6, 7}},
      {"T5", "XXX/.X./.X.", 5, {0, 1, 2, 3}},
  };
  return table;
}

// Every kind matches its row of the table, and variant i is the candidate listed i-th in the
// kept column, so the order of the variants (and every variant index) follows from the table.
TEST(PieceTable, KindsMatchTheTableWithEightyNineSquaresAndNinetyOneVariants) {
  ASSERT_EQ(kinds().size(), kPieceKinds);
  std::size_t squares = 0;
  std::size_t variants = 0;
  for (std::size_t k = 0; k < kPieceKinds; ++k) {
    const Kind& row = kinds()[k];
    SCOPED_TRACE(row.name);
    const Piece piece(static_cast<std::uint8_t>(k), 20);
    EXPECT_EQ(piece_name(k), row.name);
    EXPECT_EQ(show(base_shape(k)), row.shape);
    EXPECT_EQ(show(piece.shape), row.shape);
    EXPECT_EQ(piece.id, k);
    EXPECT_EQ(piece.size, row.squares);

    std::vector<std::string> candidates;
    Shape turned = parse(row.shape);
    for (int i = 0; i < 8; ++i) {
      if (i == 4) turned = Piece::flip(parse(row.shape));
      candidates.push_back(show(turned));
      turned = Piece::rotate(turned);
    }
    ASSERT_EQ(piece.variants.size(), row.kept.size());
    for (std::size_t v = 0; v < row.kept.size(); ++v) {
      EXPECT_EQ(show(piece.variants[v].shape), candidates[row.kept[v]]) << "variant " << v;
      EXPECT_EQ(piece.variants[v].offsets.size(), row.squares) << "variant " << v;
    }
    squares += piece.size;
    variants += piece.variants.size();
  }
  EXPECT_EQ(squares, 89u);
  EXPECT_EQ(variants, 91u);
}

TEST(PieceVariants, SymmetricKindsHaveOneVariantAndStraightOnesTwoTheSecondVertical) {
  for (std::uint8_t k : {0, 7, 18}) {  // I1, O4, X5
    EXPECT_EQ(Piece(k, 20).variants.size(), 1u) << kinds()[k].name;
  }
  for (std::uint8_t k : {1, 3, 4, 9}) {  // I2, I3, I4, I5
    SCOPED_TRACE(kinds()[k].name);
    const Piece piece(k, 20);
    ASSERT_EQ(piece.variants.size(), 2u);
    Offsets across;
    Offsets down;
    for (std::size_t i = 0; i < piece.size; ++i) {
      across.push_back(i);
      down.push_back(i * 20);
    }
    EXPECT_EQ(piece.variants[0].offsets, across);
    EXPECT_EQ(piece.variants[0].width, piece.size);
    EXPECT_EQ(piece.variants[1].offsets, down);
    EXPECT_EQ(piece.variants[1].width, 1u);
  }
}

TEST(PieceVariants, L4AndZ4AtDim20InVariantOrder) {
  const Piece l4(5, 20);
  const std::vector<std::pair<std::string, Offsets>> expected = {
      {"XX/X./X.", {0, 1, 20, 40}},  {"XXX/..X", {0, 1, 2, 22}},   {".X/.X/XX", {1, 21, 40, 41}},
      {"X../XXX", {0, 20, 21, 22}},  {"XX/.X/.X", {0, 1, 21, 41}}, {"..X/XXX", {2, 20, 21, 22}},
      {"X./X./XX", {0, 20, 40, 41}}, {"XXX/X..", {0, 1, 2, 20}},
  };
  ASSERT_EQ(l4.variants.size(), expected.size());
  for (std::size_t v = 0; v < expected.size(); ++v) {
    EXPECT_EQ(show(l4.variants[v].shape), expected[v].first) << "variant " << v;
    EXPECT_EQ(l4.variants[v].offsets, expected[v].second) << "variant " << v;
  }

  const Piece z4(8, 20);
  ASSERT_EQ(z4.variants.size(), 4u);
  EXPECT_EQ(show(z4.variants[0].shape), "XX./.XX");
  EXPECT_EQ(show(z4.variants[1].shape), ".X/XX/X.");
  EXPECT_EQ(show(z4.variants[2].shape), ".XX/XX.");
  EXPECT_EQ(show(z4.variants[3].shape), "X./XX/.X");
  EXPECT_EQ(z4.variants[1].offsets, (Offsets{1, 20, 21, 40}));
}

// The mask is the shape laid out with row stride dim; a single row wider than the board is
// still built.
TEST(PieceVariants, FlattenWithRowStrideDimIncludingI5AtDim4) {
  const PieceVariant ell(parse("XX/X."), 5);
  EXPECT_EQ(ell.mask, (std::vector<std::uint8_t>{1, 1, 0, 0, 0, 1, 0}));
  EXPECT_EQ(ell.offsets, (Offsets{0, 1, 5}));
  EXPECT_EQ(ell.width, 2u);

  const Piece i5(9, 4);
  ASSERT_EQ(i5.variants.size(), 2u);
  EXPECT_EQ(i5.variants[0].mask, (std::vector<std::uint8_t>(5, 1)));
  EXPECT_EQ(i5.variants[0].width, 5u);
  EXPECT_EQ(i5.variants[0].offsets, (Offsets{0, 1, 2, 3, 4}));
  EXPECT_EQ(i5.variants[1].mask.size(), 17u);
  EXPECT_EQ(i5.variants[1].offsets, (Offsets{0, 4, 8, 12, 16}));
}

// A row other than the last that is wider than the board cannot be flattened: every kind builds
// from side 4 up, and the first kind with a too-wide upper row stops each smaller side.
TEST(PieceBuild, SidesBelowFourAndKindsPastTheTableStop) {
  EXPECT_THROW(Piece(2, 1), FatalStop);   // V3: XX over .X
  EXPECT_THROW(Piece(5, 2), FatalStop);   // L4 turned: XXX over ..X
  EXPECT_THROW(Piece(10, 3), FatalStop);  // L5: XXXX over X...
  EXPECT_THROW(PieceVariant(parse("XXXXX/X...."), 4), FatalStop);
  EXPECT_THROW(Board(3), FatalStop);
  EXPECT_THROW(Board(0), FatalStop);
  EXPECT_THROW(Game::reset(3), FatalStop);
  EXPECT_THROW(Game::reset(1), FatalStop);
  for (std::uint8_t k = 0; k < kPieceKinds; ++k)
    EXPECT_NO_THROW(Piece(k, 4)) << kinds()[k].name;
  EXPECT_NO_THROW(Board(4));
  EXPECT_NO_THROW(Game::reset(4));

  EXPECT_THROW(base_shape(21), FatalStop);
  EXPECT_THROW(piece_name(21), FatalStop);
  EXPECT_THROW(Piece(21, 20), FatalStop);
}

TEST(PieceGeometry, RotateAndFlipANonSquareShape) {
  const Shape l = parse("XXX/X..");
  EXPECT_EQ(show(Piece::rotate(l)), "XX/.X/.X");
  EXPECT_EQ(show(Piece::rotate(Piece::rotate(l))), "..X/XXX");
  EXPECT_EQ(show(Piece::rotate(Piece::rotate(Piece::rotate(l)))), "X./X./XX");
  EXPECT_EQ(show(Piece::rotate(Piece::rotate(Piece::rotate(Piece::rotate(l))))), "XXX/X..");
  EXPECT_EQ(show(Piece::flip(l)), "XXX/..X");
  EXPECT_EQ(show(Piece::flip(parse("XX./.X./.XX"))), ".XX/.X./XX.");
  EXPECT_EQ(show(Piece::rotate(parse("XXXXX"))), "X/X/X/X/X");
  EXPECT_EQ(show(Piece::rotate(parse("X/X/X/X/X"))), "XXXXX");
}

TEST(PieceValue, CopiedPieceOwnsItsVariants) {
  const Piece original(5, 20);
  Piece copy = original;
  copy.variants[0].offsets[0] = 99;
  copy.variants[0].mask[0] = 0;
  copy.variants[1].shape[0][0] = false;
  copy.variants.pop_back();
  copy.shape[0][0] = false;

  EXPECT_EQ(original.variants.size(), 8u);
  EXPECT_EQ(original.variants[0].offsets, (Offsets{0, 1, 20, 40}));
  EXPECT_EQ(original.variants[0].mask[0], 1);
  EXPECT_EQ(show(original.variants[1].shape), "XXX/..X");
  EXPECT_EQ(show(original.shape), "XX/X./X.");
}

}  // namespace
}  // namespace tessarin

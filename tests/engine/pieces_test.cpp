// The piece set: the 21 kinds, their orientations in generation order, and how each orientation
// is flattened for a board side.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "board.h"
#include "fatal.h"
#include "game.h"
#include "pieces.h"

namespace tessarin {
namespace {

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

// Reference quarter turn clockwise and mirror, written independently of the engine.
Shape turn(const Shape& s) {
  const std::size_t h = s.size();
  const std::size_t w = s[0].size();
  Shape out(w, std::vector<bool>(h));
  for (std::size_t j = 0; j < w; ++j) {
    for (std::size_t k = 0; k < h; ++k)
      out[j][k] = s[h - 1 - k][j];
  }
  return out;
}

Shape mirror(Shape s) {
  for (auto& row : s)
    row = std::vector<bool>(row.rbegin(), row.rend());
  return s;
}

// The eight candidates: base turned 0..3 times, then the mirrored base turned 0..3 times.
std::vector<Shape> candidates(const Shape& base) {
  std::vector<Shape> out;
  Shape current = base;
  for (int i = 0; i < 4; ++i, current = turn(current))
    out.push_back(current);
  current = mirror(base);
  for (int i = 0; i < 4; ++i, current = turn(current))
    out.push_back(current);
  return out;
}

struct Kind {
  const char* name;
  const char* shape;
  std::uint32_t squares;
  std::vector<int> kept;  // candidates that become variants, in order
};

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

// The mask of `shape` flattened for `dim`, built from its definition.
std::vector<std::uint8_t> flattened(const Shape& shape, std::size_t dim) {
  std::vector<std::uint8_t> mask;
  for (std::size_t r = 0; r < shape.size(); ++r) {
    for (bool cell : shape[r])
      mask.push_back(cell ? 1 : 0);
    if (r + 1 < shape.size()) mask.insert(mask.end(), dim - shape[r].size(), 0);
  }
  return mask;
}

std::vector<Piece> full_set(std::size_t dim) {
  std::vector<Piece> set;
  for (std::size_t k = 0; k < kPieceKinds; ++k)
    set.emplace_back(static_cast<std::uint8_t>(k), dim);
  return set;
}

TEST(PieceTable, BaseShapesNamesAndSizesMatchTheTable) {
  ASSERT_EQ(kinds().size(), kPieceKinds);
  for (std::size_t k = 0; k < kPieceKinds; ++k) {
    SCOPED_TRACE(kinds()[k].name);
    EXPECT_EQ(show(base_shape(k)), kinds()[k].shape);
    EXPECT_EQ(piece_name(k), kinds()[k].name);
  }
}

TEST(PieceTable, KindPastTheTableStops) {
  EXPECT_THROW(base_shape(21), FatalStop);
  EXPECT_THROW(piece_name(21), FatalStop);
  EXPECT_THROW(Piece(21, 20), FatalStop);
}

TEST(PieceSetTotals, TwentyOnePiecesEightyNineSquaresNinetyOneVariants) {
  const std::vector<Piece> set = full_set(20);
  std::size_t squares = 0;
  std::size_t variants = 0;
  for (std::size_t k = 0; k < set.size(); ++k) {
    SCOPED_TRACE(kinds()[k].name);
    const Piece& piece = set[k];
    EXPECT_EQ(piece.id, k);
    EXPECT_EQ(piece.size, kinds()[k].squares);
    EXPECT_EQ(show(piece.shape), kinds()[k].shape);
    EXPECT_EQ(piece.variants.size(), kinds()[k].kept.size());
    squares += piece.size;
    variants += piece.variants.size();
  }
  EXPECT_EQ(squares, 89u);
  EXPECT_EQ(variants, 91u);
}

// Variant i of a kind is the candidate listed i-th in the table's kept column: the order of the
// variants, and so every variant index, follows from the base shapes and the candidate order.
TEST(PieceVariants, KeepTheFirstOccurrenceOfEachCandidateInOrder) {
  for (std::size_t dim : {4u, 5u, 20u}) {
    const std::vector<Piece> set = full_set(dim);
    for (std::size_t k = 0; k < kPieceKinds; ++k) {
      SCOPED_TRACE(std::string(kinds()[k].name) + " at dim " + std::to_string(dim));
      const std::vector<Shape> cands = candidates(parse(kinds()[k].shape));
      const std::vector<int>& kept = kinds()[k].kept;
      ASSERT_EQ(set[k].variants.size(), kept.size());
      for (std::size_t v = 0; v < kept.size(); ++v) {
        EXPECT_EQ(show(set[k].variants[v].shape), show(cands[kept[v]])) << "variant " << v;
      }
      // Every dropped candidate repeats a kept one.
      std::set<std::string> distinct;
      for (const Shape& c : cands)
        distinct.insert(show(c));
      EXPECT_EQ(distinct.size(), kept.size());
    }
  }
}

// Every variant's mask is its shape laid out with row stride dim, its offsets are the true
// positions of the mask, and its width is the length of its top row.
TEST(PieceVariants, FlattenShapeWithRowStrideDim) {
  for (std::size_t dim : {4u, 5u, 7u, 20u, 36u}) {
    const std::vector<Piece> set = full_set(dim);
    for (std::size_t k = 0; k < kPieceKinds; ++k) {
      for (std::size_t v = 0; v < set[k].variants.size(); ++v) {
        SCOPED_TRACE(std::string(kinds()[k].name) + " variant " + std::to_string(v) + " dim " +
                     std::to_string(dim));
        const PieceVariant& var = set[k].variants[v];
        EXPECT_EQ(var.width, var.shape[0].size());
        EXPECT_EQ(var.mask, flattened(var.shape, dim));
        EXPECT_EQ(var.mask.size(), (var.shape.size() - 1) * dim + var.width);
        std::vector<std::size_t> trues;
        for (std::size_t i = 0; i < var.mask.size(); ++i) {
          if (var.mask[i] != 0) trues.push_back(i);
        }
        EXPECT_EQ(var.offsets, trues);
        EXPECT_EQ(var.offsets.size(), set[k].size);
      }
    }
  }
}

TEST(PieceVariants, SymmetricKindsHaveOneVariantAndStraightOnesTwoTheSecondVertical) {
  const std::vector<Piece> set = full_set(20);
  for (std::size_t k : {0u, 7u, 18u}) {
    EXPECT_EQ(set[k].variants.size(), 1u) << kinds()[k].name;
  }
  // I2, I3, I4, I5: horizontal first, then vertical.
  for (std::size_t k : {1u, 3u, 4u, 9u}) {
    SCOPED_TRACE(kinds()[k].name);
    const Piece& piece = set[k];
    ASSERT_EQ(piece.variants.size(), 2u);
    std::vector<std::size_t> across(piece.size);
    std::vector<std::size_t> down(piece.size);
    for (std::size_t i = 0; i < piece.size; ++i) {
      across[i] = i;
      down[i] = i * 20;
    }
    EXPECT_EQ(piece.variants[0].offsets, across);
    EXPECT_EQ(piece.variants[0].width, piece.size);
    EXPECT_EQ(piece.variants[1].offsets, down);
    EXPECT_EQ(piece.variants[1].width, 1u);
    EXPECT_EQ(piece.variants[1].shape.size(), piece.size);
  }
}

TEST(PieceVariants, L4AtDim20InVariantOrder) {
  const Piece l4(5, 20);
  const std::vector<std::pair<std::string, std::vector<std::size_t>>> expected = {
      {"XX/X./X.", {0, 1, 20, 40}},  {"XXX/..X", {0, 1, 2, 22}},   {".X/.X/XX", {1, 21, 40, 41}},
      {"X../XXX", {0, 20, 21, 22}},  {"XX/.X/.X", {0, 1, 21, 41}}, {"..X/XXX", {2, 20, 21, 22}},
      {"X./X./XX", {0, 20, 40, 41}}, {"XXX/X..", {0, 1, 2, 20}},
  };
  ASSERT_EQ(l4.variants.size(), expected.size());
  for (std::size_t v = 0; v < expected.size(); ++v) {
    EXPECT_EQ(show(l4.variants[v].shape), expected[v].first) << "variant " << v;
    EXPECT_EQ(l4.variants[v].offsets, expected[v].second) << "variant " << v;
  }
}

TEST(PieceVariants, Z4KeepsCandidatesZeroOneFourFive) {
  const Piece z4(8, 20);
  ASSERT_EQ(z4.variants.size(), 4u);
  EXPECT_EQ(show(z4.variants[0].shape), "XX./.XX");
  EXPECT_EQ(show(z4.variants[1].shape), ".X/XX/X.");
  EXPECT_EQ(show(z4.variants[2].shape), ".XX/XX.");
  EXPECT_EQ(show(z4.variants[3].shape), "X./XX/.X");
  EXPECT_EQ(z4.variants[1].offsets, (std::vector<std::size_t>{1, 20, 21, 40}));
}

TEST(PieceVariants, I5AtDim4KeepsItsWideRow) {
  const Piece i5(9, 4);
  ASSERT_EQ(i5.variants.size(), 2u);
  EXPECT_EQ(i5.variants[0].mask.size(), 5u);
  EXPECT_EQ(i5.variants[0].width, 5u);
  EXPECT_EQ(i5.variants[0].offsets, (std::vector<std::size_t>{0, 1, 2, 3, 4}));
  EXPECT_EQ(i5.variants[1].offsets, (std::vector<std::size_t>{0, 4, 8, 12, 16}));
  EXPECT_EQ(i5.variants[1].mask.size(), 17u);
}

// A row other than the last that is wider than the board cannot be flattened; every kind builds
// from side 4 up, and the first kind with a too-wide upper row stops the smaller sides.
TEST(PieceBuild, SidesBelowFourStopAndFourWorks) {
  EXPECT_THROW(Piece(2, 1), FatalStop);   // V3: XX over .X
  EXPECT_THROW(Piece(5, 2), FatalStop);   // L4 turned: XXX over ..X
  EXPECT_THROW(Piece(10, 3), FatalStop);  // L5: XXXX over X...
  EXPECT_THROW(Board(3), FatalStop);
  EXPECT_THROW(Board(0), FatalStop);
  EXPECT_THROW(Game::reset(3), FatalStop);
  EXPECT_THROW(Game::reset(1), FatalStop);

  EXPECT_NO_THROW(full_set(4));
  EXPECT_NO_THROW(Board(4));
  EXPECT_NO_THROW(Game::reset(4));
}

TEST(PieceBuild, VariantOfWideUpperRowStopsButWideSingleRowIsBuilt) {
  EXPECT_THROW(PieceVariant(parse("XXXXX/X...."), 4), FatalStop);
  const PieceVariant wide(parse("XXXXX"), 4);
  EXPECT_EQ(wide.mask.size(), 5u);
  EXPECT_EQ(wide.width, 5u);
  const PieceVariant ell(parse("XX/X."), 5);
  EXPECT_EQ(ell.mask, (std::vector<std::uint8_t>{1, 1, 0, 0, 0, 1, 0}));
  EXPECT_EQ(ell.offsets, (std::vector<std::size_t>{0, 1, 5}));
  EXPECT_EQ(show(ell.shape), "XX/X.");
}

TEST(PieceGeometry, RotateAndFlipANonSquareShape) {
  const Shape y = parse("XXX/X..");
  EXPECT_EQ(show(Piece::rotate(y)), "XX/.X/.X");
  EXPECT_EQ(show(Piece::rotate(Piece::rotate(y))), "..X/XXX");
  EXPECT_EQ(show(Piece::rotate(Piece::rotate(Piece::rotate(y)))), "X./X./XX");
  EXPECT_EQ(show(Piece::rotate(Piece::rotate(Piece::rotate(Piece::rotate(y))))), "XXX/X..");
  EXPECT_EQ(show(Piece::flip(y)), "XXX/..X");
  EXPECT_EQ(show(Piece::flip(parse("XX./.X./.XX"))), ".XX/.X./XX.");
  EXPECT_EQ(show(Piece::rotate(parse("XXXXX"))), "X/X/X/X/X");
  EXPECT_EQ(show(Piece::rotate(parse("X/X/X/X/X"))), "XXXXX");
  // Agrees with the reference turn on every base shape.
  for (std::size_t k = 0; k < kPieceKinds; ++k) {
    const Shape base = parse(kinds()[k].shape);
    EXPECT_EQ(show(Piece::rotate(base)), show(turn(base))) << kinds()[k].name;
    EXPECT_EQ(show(Piece::flip(base)), show(mirror(base))) << kinds()[k].name;
  }
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
  EXPECT_EQ(original.variants[0].offsets, (std::vector<std::size_t>{0, 1, 20, 40}));
  EXPECT_EQ(original.variants[0].mask[0], 1);
  EXPECT_EQ(show(original.variants[1].shape), "XXX/..X");
  EXPECT_EQ(show(original.shape), "XX/X./X.");
}

}  // namespace
}  // namespace tessarin

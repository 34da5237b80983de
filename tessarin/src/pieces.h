// The piece set: 21 polyomino kinds of 1 to 5 squares (89 squares in all) and, for every kind, its
// distinct orientations under quarter turns and mirroring (91 in all), each flattened for a board
// of side `dim` so that a placement is an anchor cell plus fixed offsets.
//
// Orientation order matters: every variant index follows from the base shapes below and from the
// candidate order (base turned 0..3 quarter turns, then the mirrored base turned 0..3 quarter
// turns, later duplicates dropped).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tessarin {

inline constexpr std::size_t kPieceKinds = 21;
inline constexpr std::size_t kTotalSquares = 89;
inline constexpr std::size_t kMaxPieceSize = 5;
inline constexpr std::size_t kTotalVariants = 91;

// Rows of cells, row 0 at the top, column 0 at the left; every row has the same length.
using Shape = std::vector<std::vector<bool>>;

// The base shape of `kind` (0..20) as listed in the piece table. Throws FatalStop past 20.
Shape base_shape(std::size_t kind);

// The table name of `kind` ("I1", "L4", ...). Throws FatalStop past 20.
std::string_view piece_name(std::size_t kind);

// One orientation of a piece, flattened for row stride `dim`.
struct PieceVariant {
  // Flattens `shape` for `dim`. Throws FatalStop when a row other than the last is wider than
  // `dim` (the flattened rows would overlap).
  PieceVariant(Shape shape, std::size_t dim);

  // row * dim + column of every square, ascending; `size` entries.
  std::vector<std::size_t> offsets;
  // The shape laid out row by row with stride `dim`: (height - 1) * dim + width entries, 0 or 1.
  std::vector<std::uint8_t> mask;
  Shape shape;
  std::size_t width;  // the length of row 0
};

// One piece kind with all its distinct orientations.
struct Piece {
  // Builds kind `kind` (0..20) for a board of side `dim`. Throws FatalStop for a kind past 20 or
  // a `dim` that some orientation cannot be flattened for (every dim below 4).
  Piece(std::uint8_t kind, std::size_t dim);

  // `shape` turned a quarter turn clockwise: result[j][k] = shape[h - 1 - k][j].
  static Shape rotate(Shape shape);
  // `shape` mirrored about the vertical axis (every row reversed).
  static Shape flip(Shape shape);

  Shape shape;                         // the base shape
  std::vector<PieceVariant> variants;  // distinct orientations in candidate order
  std::size_t id;                      // the kind index 0..20
  std::uint32_t size;                  // number of squares
};

}  // namespace tessarin

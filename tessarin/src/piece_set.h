// The whole piece set built once for one board side and shared read-only by every board and game
// copy of that side: the 21 `Piece`s with their flattened orientations, plus the tables that move
// generation reads.
//
// Move generation looks at a 9 x 9 window of cells centred on one corner cell: bit
// (dr + 4) * 9 + (dc + 4) stands for the cell dr rows below and dc columns right of the centre
// (bit 40). A piece of at most 5 squares that covers the centre lies inside that window, so
// every (orientation, square) pair is stored once as a window mask with that square at the centre.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "pieces.h"

namespace tessarin {

__extension__ using WindowMask = unsigned __int128;

inline constexpr int kWindowSide = 9;
inline constexpr int kWindowReach = 4;  // rows or columns from the centre to the window's edge
inline constexpr int kWindowCentre = 40;
// Every bit of the 81-bit window.
inline constexpr WindowMask kWindowAll = (WindowMask{1} << 81) - 1;

// The window bit of the cell dr rows below and dc columns right of the centre (|dr|, |dc| <= 4).
constexpr int window_bit(int dr, int dc) {
  return (dr + kWindowReach) * kWindowSide + (dc + kWindowReach);
}

// One orientation of one kind with one of its squares at the window centre.
struct WindowEntry {
  WindowMask cells;      // the orientation's squares, relative to that square
  std::uint32_t offset;  // that square's offset from the anchor (row * dim + column)
  std::uint8_t variant;  // index into the kind's variants
};

// Row and column of every square of one orientation, relative to its anchor, in offset order.
struct VariantSquares {
  std::array<std::uint8_t, kMaxPieceSize> row;
  std::array<std::uint8_t, kMaxPieceSize> col;
  std::uint8_t count;
};

// The four cells that share an edge with the window centre. A piece that covers the centre and
// one of its closed arms can be rejected without looking at the rest of the window.
enum Arm : unsigned { kArmUp = 1, kArmDown = 2, kArmLeft = 4, kArmRight = 8 };
inline constexpr unsigned kArmSets = 16;
// The arms in `cells`.
constexpr unsigned arms_of(WindowMask cells) {
  return static_cast<unsigned>((cells >> window_bit(-1, 0)) & 1) * kArmUp |
         static_cast<unsigned>((cells >> window_bit(1, 0)) & 1) * kArmDown |
         static_cast<unsigned>((cells >> window_bit(0, -1)) & 1) * kArmLeft |
         static_cast<unsigned>((cells >> window_bit(0, 1)) & 1) * kArmRight;
}

class PieceSet {
 public:
  // Builds the set for `dim`. Throws FatalStop for a dim below 4.
  explicit PieceSet(std::size_t dim);

  // The set for `dim`, built on first use and cached for the life of the process (thread-safe).
  static std::shared_ptr<const PieceSet> for_dim(std::size_t dim);

  std::size_t dim() const { return dim_; }
  // The piece of `kind` (0..20).
  const Piece& piece(std::size_t kind) const { return pieces_[kind]; }
  // Every (orientation, square) pair of `kind`, grouped by the centre's arms they cover.
  std::span<const WindowEntry> windows(std::size_t kind) const {
    return {windows_.data() + arm_begin_[kind][0],
            arm_begin_[kind][kArmSets] - arm_begin_[kind][0]};
  }
  // The pairs of `kind` that cover exactly the arms `arms` (a set of Arm bits) next to the centre.
  std::span<const WindowEntry> windows(std::size_t kind, unsigned arms) const {
    return {windows_.data() + arm_begin_[kind][arms],
            arm_begin_[kind][arms + 1] - arm_begin_[kind][arms]};
  }
  // For every window bit, the distance from the centre cell to that bit's cell on this board.
  const std::array<std::int64_t, kWindowSide * kWindowSide>& window_deltas() const {
    return window_deltas_;
  }
  // The squares of orientation `variant` of `kind`.
  const VariantSquares& squares(std::size_t kind, std::size_t variant) const {
    return squares_[variant_begin_[kind] + variant];
  }

 private:
  std::size_t dim_;
  std::vector<Piece> pieces_;
  std::vector<WindowEntry> windows_;
  std::array<std::array<std::size_t, kArmSets + 1>, kPieceKinds> arm_begin_{};
  std::array<std::int64_t, kWindowSide * kWindowSide> window_deltas_{};
  std::vector<VariantSquares> squares_;
  std::array<std::size_t, kPieceKinds + 1> variant_begin_{};
};

}  // namespace tessarin

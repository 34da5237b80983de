// The square board of side `dim` shared by four players, with the pieces each player still holds
// and, per player, the cells through which its next piece may touch its own squares corner to
// corner.
//
// Cells are numbered row * dim + column, row 0 at the top. Each player p owns a start corner:
// 0 top left (cell 0), 1 top right (dim - 1), 2 bottom right (dim * dim - 1), 3 bottom left
// ((dim - 1) * dim).
//
// A cell is closed to player p when anyone occupies it or when it shares an edge with a square of
// p; closed cells never open again and occupied cells are never emptied. The corner set of p holds
// exactly the empty cells not closed to p that touch a square of p diagonally (without wrapping
// across a side edge), plus p's start corner while nobody occupies it.
//
// Representation: per player, three bitsets over the cells (own squares, closed cells, corner
// cells) in one flat buffer, and the remaining pieces as a bitset of kinds. Up to side
// kMaxInlineDim the buffer lives inside the value and a board copies flat, without allocation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "cell_bits.h"
#include "piece_set.h"
#include "state_tensor.h"
#include "word_buffer.h"

namespace tessarin {

inline constexpr std::size_t kPlayers = 4;
// The largest side whose every cell fits the signed 32-bit tile of a history entry.
inline constexpr std::size_t kMaxDim = 46340;
// The largest side whose bitsets live inside the board value: up to this side a board (and a game
// without its history) copies with no allocation; beyond it the bitsets are on the heap.
inline constexpr std::size_t kMaxInlineDim = 25;
// Words of the 12 bitsets (own, closed and corner cells of 4 players) of a board of side `dim`.
constexpr std::size_t board_words(std::size_t dim) {
  return 3 * kPlayers * cell_bits::words_for(dim * dim);
}
static_assert(board_words(kMaxInlineDim + 1) > board_words(kMaxInlineDim),
              "kMaxInlineDim is the largest side with its number of words");

// The pieces one player still holds, in kind order; a view that stays valid while the board lives.
class PieceList {
 public:
  PieceList(const PieceSet* set, std::uint32_t kinds) : set_(set), kinds_(kinds) {}
  std::size_t size() const;
  bool empty() const { return kinds_ == 0; }
  // The kind of the piece at `index`. Precondition: index < size().
  std::size_t kind(std::size_t index) const;
  // The piece at `index`. Precondition: index < size().
  const Piece& operator[](std::size_t index) const { return set_->piece(kind(index)); }
  // Bit k set when kind k is held.
  std::uint32_t kinds() const { return kinds_; }

 private:
  const PieceSet* set_;
  std::uint32_t kinds_;
};

class Board {
 public:
  // A new board: all cells empty, every player holding all 21 pieces, each corner set holding its
  // player's start corner. Throws FatalStop for a dim below 4 or above kMaxDim.
  explicit Board(std::size_t dim);

  std::size_t dim() const { return dim_; }
  std::size_t cell_count() const { return cell_count_; }
  const PieceSet& piece_set() const { return *piece_set_; }

  // The cell's byte: owner nibble (0 empty, p + 1 a square of p) OR 0x10 << p for every player p
  // the cell is closed to. Throws FatalStop for a cell off the board.
  std::uint8_t cell(std::size_t index) const;
  // 0 for an empty cell, p + 1 for a square of p. Precondition: index < cell_count().
  std::size_t owner(std::size_t index) const;
  // Whether `cell` is in the corner set of `player`. Preconditions: player < 4, cell on the board.
  bool is_corner(std::size_t player, std::size_t cell) const {
    return cell_bits::test(set_words(kCornerSets, player), cell);
  }
  // The corner set of `player`, ascending. Throws FatalStop for a player above 3.
  std::vector<std::size_t> corners(std::size_t player) const;
  // dim + 1, -(dim + 1), 1 - dim, dim - 1: down right, up left, up right, down left.
  std::array<std::int32_t, 4> diagonals() const;

  // The pieces `player` still holds. Throws FatalStop for a player above 3.
  PieceList pieces(std::size_t player) const;
  // Removes the piece at `index` of `player`'s list (later pieces move up) and returns its size.
  // Throws FatalStop for a player above 3 or an index past the end of the list.
  std::uint32_t remove_piece(std::size_t player, std::size_t index);

  // Whether `variant` (built for this board's dim) laid with its top-left bounding-box cell on
  // `anchor` lies on the board without wrapping, covers no cell closed to `player`, and covers a
  // corner cell of `player`. Changes nothing. Throws FatalStop for a player above 3.
  bool is_valid_move(std::size_t player, const PieceVariant& variant, std::size_t anchor) const;

  // Puts one square of `player` on `cell` and updates closed cells and corner sets. Does not test
  // legality. Throws FatalStop for a cell off the board or a player above 3.
  void place_tile(std::size_t cell, std::size_t player);

  // Per player: squares placed - 89; with no piece left, squares - 74 (15 for all 89 squares), or
  // squares - 69 (20) when the last piece was the single square (`last_piece_sizes`[p] == 1).
  std::array<std::int32_t, 4> get_scores(
      const std::array<std::uint32_t, 4>& last_piece_sizes) const;

  // The four ownership planes seen from `player`: plane (owner - player) mod 4 is set at every
  // square; 4 x dim x dim, or dim x dim x 4 when `channels_last`. Throws FatalStop for a player
  // above 3.
  StateTensor get_rep(bool channels_last, std::size_t player) const;
  // Writes the same planes into `out`, which holds dim * dim * `planes` zeroed entries laid out
  // like get_rep with `planes` (>= 4) planes; planes past 4 are left alone.
  void write_rep(bool channels_last, std::size_t player, std::size_t planes,
                 std::uint8_t* out) const;

  // dim lines of dim symbols (red, blue, yellow, green square for players 0 to 3, white square for
  // an empty cell), each line ending in "\n".
  std::string render() const;
  // Writes render() and one more line break to `out` (standard output by default).
  void print_board(std::ostream& out) const;
  void print_board() const;

  // Bitsets for move generation: cell_bits layout, words_per_set() words each.
  const std::uint64_t* closed_words(std::size_t player) const {
    return set_words(kClosedSets, player);
  }
  const std::uint64_t* corner_words(std::size_t player) const {
    return set_words(kCornerSets, player);
  }
  std::size_t words_per_set() const { return words_per_set_; }

 private:
  enum SetKind : std::size_t { kOwnSets = 0, kClosedSets = 1, kCornerSets = 2 };
  std::uint64_t* set_words(SetKind kind, std::size_t player) {
    return words_.data() + (kind * kPlayers + player) * words_per_set_;
  }
  const std::uint64_t* set_words(SetKind kind, std::size_t player) const {
    return words_.data() + (kind * kPlayers + player) * words_per_set_;
  }

  // 12 bitsets (own, closed, corner cells of 4 players) of a board of side kMaxInlineDim.
  static constexpr std::size_t kInlineWords = board_words(kMaxInlineDim);

  std::shared_ptr<const PieceSet> piece_set_;
  std::size_t dim_;
  std::size_t cell_count_;
  std::size_t words_per_set_;
  std::array<std::uint32_t, kPlayers> pieces_;  // bit k: kind k still held
  WordBuffer<kInlineWords> words_;              // own, closed and corner sets of the 4 players
};

// Throws FatalStop unless player < 4.
void check_player(std::size_t player);

}  // namespace tessarin

// A reference model of the game rules, written the plainest way to check the engine against it.
//
// It shares no code with the engine: its own 21 base shapes, its own orientation generation
// (every turn and mirror image, compared as normalised sets of (row, col) cells), a plain grid of
// owners and, per player, a flag per kind still held. Every rule is evaluated directly from the
// grid: at the start of each turn every orientation of every held piece is tried at every anchor
// of the board. It is meant to be obviously right rather than fast.
//
// Rules modelled:
// - A piece lies inside the board without wrapping; none of its squares lies on an occupied cell or
//   edge to edge with a square of its owner; at least one square lies on a corner cell of the
//   owner: an empty cell diagonal to one of the owner's squares and not edge to edge with any of
//   them, or the owner's start corner while it is empty (0 top-left, 1 top-right, 2 bottom-right,
//   3 bottom-left).
// - A piece is laid one square (tile) at a time. The live positions of a turn are those valid when
//   the turn began that cover every tile played so far in it; the legal tiles are the cells they
//   cover, less the tiles played. A tile that is not legal is refused and changes nothing.
// - The piece is complete when no legal tile remains (it is then the kind of the live positions)
//   or at once when the caller names a piece by its index in the player's remaining kinds.
// - The turn then passes 0, 1, 2, 3, 0, ... over finished players; a player whose turn comes with
//   no valid position is finished for good. When all four are finished the game is over and the
//   player to move stays the last one examined.
// - Score: squares placed - 89; with no piece left, squares - 74, or squares - 69 when the last
//   piece was the single square. Payoff: 1/k to each of the k best scores.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace oracle {

inline constexpr int kKinds = 21;
inline constexpr int kPlayers = 4;
inline constexpr int kLargestPiece = 5;

// (row, col) cells, shifted so that the smallest row and the smallest column are 0, sorted.
using CellSet = std::vector<std::pair<int, int>>;

// The base shape of `kind` (0..20) as listed in the piece table, e.g. "XX/.X" for kind 2.
const std::string& base_picture(int kind);
// Number of squares of `kind`.
int kind_size(int kind);
// Every distinct orientation of `kind` under quarter turns and mirroring, each a normalised cell
// set; in no particular order.
const std::vector<CellSet>& orientations(int kind);
// Shifts `cells` so that its smallest row and column are 0, and sorts it.
CellSet normalise(CellSet cells);

// A whole piece on the board: its kind and its cells (row * dim + col), ascending.
struct PiecePosition {
  int kind = -1;
  int count = 0;
  std::array<int, kLargestPiece> cells{-1, -1, -1, -1, -1};

  bool covers(int cell) const;
  friend auto operator<=>(const PiecePosition&, const PiecePosition&) = default;
};
std::string to_string(const PiecePosition& position, int dim);

// 1/k to each of the k players with the best score, 0 to the others.
std::array<float, kPlayers> payoff_of(const std::array<int, kPlayers>& scores);

class ReferenceGame {
 public:
  // A new game on a dim x dim board (dim >= 4), player 0 to move.
  explicit ReferenceGame(int dim);

  struct Outcome {
    // "Invalid move - Player <p>, Tile <t>" for a tile that is not legal; nothing changed then.
    std::optional<std::string> error;
    // The kind removed from the player's pieces when this tile completed a piece.
    std::optional<int> completed_kind;
  };
  // Plays `tile` for the player to move; `piece_index`, when given, completes the piece at once
  // by removing that entry of the player's remaining kinds (ascending). Throws std::out_of_range
  // for a tile off the board or a piece index past the end.
  Outcome play(int tile, std::optional<int> piece_index = {});

  int dim() const { return dim_; }
  int current_player() const { return current_; }
  const std::array<bool, kPlayers>& finished() const { return finished_; }
  bool over() const;
  // -1 for an empty cell, else the player whose square it is.
  int owner(int cell) const { return owner_[cell]; }
  // Whether `cell` is occupied or shares an edge with a square of `player`.
  bool closed_to(int cell, int player) const;
  // The empty cells `player` may start a new piece through, ascending (see the rules above).
  std::vector<int> corner_cells(int player) const;
  // The kinds `player` still holds, ascending.
  std::vector<int> remaining_kinds(int player) const;
  const std::array<std::uint32_t, kPlayers>& last_piece_sizes() const { return last_sizes_; }
  const std::vector<std::pair<int, int>>& history() const { return history_; }
  // Tiles played in the current turn, in order.
  const std::vector<int>& played_this_turn() const { return played_; }
  // The live positions of the player to move, sorted.
  const std::vector<PiecePosition>& live_positions() const { return live_; }
  // The tiles the player to move may play, ascending.
  const std::vector<int>& legal_tiles() const { return legal_; }
  // The live positions that cover `tile`, sorted; empty unless `tile` is legal.
  std::vector<PiecePosition> positions_through(int tile) const;
  // positions_through(cell) for every cell of the board, in one pass.
  std::vector<std::vector<PiecePosition>> tile_map() const;
  std::array<int, kPlayers> scores() const;
  std::array<float, kPlayers> payoff() const { return payoff_of(scores()); }

  // Every valid position of a held piece of `player` on the current board, sorted.
  std::vector<PiecePosition> valid_positions(int player) const;

 private:
  int start_corner(int player) const;
  bool owned_by(int row, int col, int player) const;
  void pass_turn();
  // The cells the live positions cover, less the tiles played this turn.
  std::vector<int> cells_of_live() const;

  int dim_;
  std::vector<int> owner_;
  std::array<std::array<bool, kKinds>, kPlayers> holds_{};
  int current_ = 0;
  std::array<bool, kPlayers> finished_{};
  std::array<std::uint32_t, kPlayers> last_sizes_{};
  std::vector<std::pair<int, int>> history_;
  std::vector<PiecePosition> live_;
  std::vector<int> played_;
  std::vector<int> legal_;  // cells_of_live(), kept current
};

}  // namespace oracle

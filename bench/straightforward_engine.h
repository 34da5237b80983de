// The Tessarin rules written the straightforward way, as a baseline for the engine's benchmarks
// and as an independent second implementation to play against it.
//
// Nothing here is tuned: every player holds its own copy of the pieces (each piece a vector of
// variants, each variant vectors of offsets, mask bytes and shape rows), the cells are a byte
// vector (owner nibble plus one closed bit per player), the corner sets are hash sets, and the
// tile-move map is a hash map from tile to a hash set of placements. Move generation runs the four
// nested loops (piece, corner cell, variant, offset) and tests every candidate anchor; narrowing
// intersects sets into new sets; copying a game copies all of it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace straightforward {

// Rows of cells, row 0 at the top; every row has the same length.
using Shape = std::vector<std::vector<bool>>;

// One orientation of a piece, flattened for row stride `dim`.
struct PieceVariant {
  // Flattens `shape` for `dim`. Throws std::invalid_argument when a row other than the last is
  // wider than `dim`.
  static PieceVariant make(Shape shape, std::size_t dim);

  std::vector<std::size_t> offsets;  // row * dim + column of every square, ascending
  std::vector<std::uint8_t> mask;    // the shape laid out with stride dim, 0 or 1 per entry
  Shape shape;
  std::size_t width = 0;  // the length of row 0
};

// One piece kind with its distinct orientations (quarter turns, then the mirror image's quarter
// turns, later duplicates dropped).
struct Piece {
  // Builds kind `kind` (0..20) for a board of side `dim`.
  static Piece make(std::uint8_t kind, std::size_t dim);
  // A quarter turn clockwise: result[j][k] = shape[h - 1 - k][j].
  static Shape rotate(Shape shape);
  // The mirror image: every row reversed.
  static Shape flip(Shape shape);

  Shape shape;
  std::vector<PieceVariant> variants;
  std::size_t id = 0;
  std::uint32_t size = 0;
};

// One position of one whole piece.
struct Placement {
  std::size_t piece_index;    // in the player's remaining pieces when the turn began
  std::size_t variant_index;  // in that piece's variants
  std::size_t anchor;         // the cell under the variant's top-left bounding-box cell

  friend bool operator==(const Placement&, const Placement&) = default;
  friend auto operator<=>(const Placement&, const Placement&) = default;
};

struct PlacementHash {
  std::size_t operator()(const Placement& p) const;
};

using PlacementSet = std::unordered_set<Placement, PlacementHash>;
// For every tile the player to move may play next, the placements still possible that cover it.
using TileMoveMap = std::unordered_map<std::size_t, PlacementSet>;

struct Board {
  // An empty board of side `dim`, every player holding all 21 pieces, each corner set holding its
  // player's start corner.
  static Board make(std::size_t dim);

  // Whether `variant` laid at `anchor` stays on the board without wrapping, covers no cell closed
  // to `player` and covers a corner cell of `player`.
  bool is_valid_move(std::size_t player, const PieceVariant& variant, std::size_t anchor) const;
  // Puts one square of `player` on `cell` and updates closed bits and corner sets.
  void place_tile(std::size_t cell, std::size_t player);
  // Per player: squares - 89, or squares - 74 with no piece left (squares - 69 when the last
  // piece was the single square).
  std::array<std::int32_t, 4> get_scores(
      const std::array<std::uint32_t, 4>& last_piece_sizes) const;

  std::array<std::vector<Piece>, 4> pieces;
  std::vector<std::uint8_t> cells;  // owner nibble (p + 1) | 0x10 << p per closed player
  std::array<std::unordered_set<std::size_t>, 4> corners;
  std::size_t dim = 0;
  std::array<std::int32_t, 4> diagonals{};
};

// The tile-move map of `player` at the start of a turn.
TileMoveMap get_tile_moves(const Board& board, std::size_t player);

struct Game {
  // A new game on a dim x dim board, player 0 to move.
  static Game make(std::size_t dim);

  // Plays `tile` for the player to move; an error text when it is not legal.
  std::optional<std::string> apply(std::size_t tile);
  // Passes the turn to the next player that can move, marking players that cannot as finished.
  std::size_t advance_player();
  // The keys of the tile-move map, in the map's order.
  std::vector<std::size_t> get_legal_tiles() const;
  // The placements of `tile`'s set, sorted; empty when `tile` is not legal.
  std::vector<Placement> placements(std::size_t tile) const;
  bool is_terminal() const { return finished[0] && finished[1] && finished[2] && finished[3]; }
  // 1/k for each of the k best players, 0 for the others.
  std::array<float, 4> get_payoff() const;

  Board board;
  std::vector<std::pair<std::int32_t, std::int32_t>> history;
  TileMoveMap tile_moves;
  std::size_t current_player = 0;
  std::array<std::uint32_t, 4> last_piece_sizes{};
  std::array<bool, 4> finished{};
};

}  // namespace straightforward

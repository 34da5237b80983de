// The whole state of one four-player game, played one square (tile) at a time: the player to move
// plays tiles until its piece is complete, then the turn passes to the next player that can still
// move. A player found unable to move at the start of its turn is finished for good; the game ends
// when all four are finished.
//
// A Game copies flat apart from `history`: the board's bitsets live inside the value (up to side
// kMaxInlineDim, 25), the piece geometry and the turn's placement table are shared read-only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "board.h"
#include "state_tensor.h"
#include "tile_move_cache.h"
#include "tile_moves.h"

namespace tessarin {

// (player, tile) of one applied action.
using HistoryEntry = std::pair<std::int32_t, std::int32_t>;

// Planes of the network input: four ownership planes and the legal-tile plane.
inline constexpr std::size_t kStatePlanes = 5;

class Game {
 public:
  // Tag for a copy that leaves `history` empty (a search simulation never reads it).
  struct WithoutHistory {};

  // A new game on a dim x dim board, player 0 to move with its map built. Throws FatalStop for a
  // dim below 4 or above kMaxDim.
  static Game reset(std::size_t dim);

  Game(const Game&) = default;
  Game(Game&&) noexcept = default;
  Game& operator=(const Game&) = default;
  Game& operator=(Game&&) noexcept = default;
  // A copy of `other` with an empty history.
  Game(const Game& other, WithoutHistory);

  // Plays `tile` for the player to move. A tile that is not legal changes nothing at all and
  // returns "Invalid move - Player <p>, Tile <t>". Otherwise the square is placed, recorded in
  // `history` and the map narrowed; when the piece is complete (no further tile possible, or
  // `piece` given) the piece is removed from the player's list, its size recorded and the turn
  // passes. Throws FatalStop for a tile off the board or a `piece` past the end of the list.
  // When the tile's set of placements is empty (a broken map) it returns "valid_moves must be
  // non-empty" and changes nothing either. With `tables`, the next player's table is taken from
  // it (the same table, built at most once per key).
  std::optional<std::string> apply(std::size_t tile, std::optional<std::size_t> piece = {},
                                   TileMoveTableCache* tables = nullptr);
  // Plays `tile`, which the caller holds to be legal (taken from the legal tiles or from a search
  // tree built on them). A refusal is a broken invariant: throws FatalStop with apply's text.
  void apply_legal(std::size_t tile, TileMoveTableCache* tables = nullptr);

  // Passes the turn to the next player that is not finished and has a legal tile, marking players
  // without one as finished; returns the player to move. Changes nothing once all are finished.
  std::size_t advance_player(TileMoveTableCache* tables = nullptr);

  // The tiles the player to move may play, ascending; empty exactly when the game is over.
  std::vector<std::size_t> get_legal_tiles() const { return tile_moves_.legal_tiles(); }
  // The same into `out` (cleared first), without allocating once `out` has the capacity.
  void legal_tiles(std::vector<std::size_t>& out) const { tile_moves_.legal_tiles(out); }

  // All four players are finished.
  bool is_terminal() const { return finished_[0] && finished_[1] && finished_[2] && finished_[3]; }

  // 1/k for each of the k players with the best score, 0 for the others; by absolute player.
  std::array<float, 4> get_payoff() const;

  // The network input for the player to move: the board's four planes seen from that player and a
  // fifth plane set at the legal tiles; 5 x dim x dim, or dim x dim x 5 when `channels_last`.
  StateTensor get_game_state(bool channels_last) const;
  // The same into `out`, which must hold exactly 5 * dim * dim entries.
  void write_game_state(bool channels_last, std::span<std::uint8_t> out) const;

  const Board& board() const { return board_; }
  std::size_t dim() const { return board_.dim(); }
  // Every applied tile, in order.
  const std::vector<HistoryEntry>& history() const { return history_; }
  // Moves the history out (the game keeps an empty one).
  std::vector<HistoryEntry> take_history() { return std::move(history_); }
  const TileMoves& tile_moves() const { return tile_moves_; }
  std::size_t current_player() const { return current_player_; }
  // Per player, the size of the last piece it completed (0 before its first).
  const std::array<std::uint32_t, 4>& last_piece_sizes() const { return last_piece_sizes_; }
  // Per player, set once it was found unable to move; never cleared.
  const std::array<bool, 4>& finished() const { return finished_; }

 private:
  friend struct EngineTestAccess;
  explicit Game(Board board);

  Board board_;
  std::vector<HistoryEntry> history_;
  TileMoves tile_moves_;
  std::size_t current_player_ = 0;
  std::array<std::uint32_t, 4> last_piece_sizes_{};
  std::array<bool, 4> finished_{};
};

}  // namespace tessarin

// Move generation and the tile-move map.
//
// A player lays a piece one square (tile) at a time. At the start of a turn every valid placement
// of every piece the player holds is listed once in an immutable, shared TileMoveTable, indexed by
// the cells it covers. The tile-move map of the rules, "for every tile the player may play next,
// the placements still possible that cover it", is then a TileMoves value: the table plus the
// placements still alive in this copy of the game. Playing a tile keeps the placements that cover
// it (narrowing); the piece is complete when no live placement covers a cell not yet played.
//
// After the first tile of a turn every live placement covers that tile, so at most 414 placements
// (one per orientation and square of the 21 kinds) can be alive, and all of their cells lie in the
// 9 x 9 window around it: the live set is a 7-word bitset over the placements through the first
// tile, and the tiles played and the legal tiles are window masks.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "board.h"
#include "piece_set.h"

namespace tessarin {

// Defined by the engine tests alone, to build states that the public operations never produce
// (a broken map).
struct EngineTestAccess;

// One position of one whole piece.
struct Placement {
  std::size_t piece_index;    // in the player's remaining pieces when the turn began
  std::size_t variant_index;  // in that piece's variants
  std::size_t anchor;         // the cell under the variant's top-left bounding-box cell

  friend auto operator<=>(const Placement&, const Placement&) = default;
};

// The most placements that can cover one cell: one per (orientation, square) of the full set.
inline constexpr std::size_t kMaxPlacementsPerCell = 414;
inline constexpr std::size_t kLiveWords = (kMaxPlacementsPerCell + 63) / 64;

// One placement of a table, with its squares as a window mask around a cell it covers.
struct PlacementRecord {
  WindowMask cells;  // relative to `origin`
  std::uint32_t anchor;
  std::uint32_t origin;  // a cell the placement covers
  std::uint16_t origin_row;
  std::uint16_t origin_col;
  std::uint8_t piece_index;
  std::uint8_t variant_index;
  std::uint8_t kind;
  std::uint8_t size;
};

// Every valid placement of one player at the start of a turn, each listed once.
class TileMoveTable {
 public:
  static constexpr std::size_t kNoKey = static_cast<std::size_t>(-1);

  std::size_t player() const { return player_; }
  std::size_t dim() const { return dim_; }
  // Every cell some placement covers, ascending.
  std::span<const std::uint32_t> keys() const { return keys_; }
  // The position of `tile` in keys(), or kNoKey.
  std::size_t find_key(std::size_t tile) const;
  // Ids of the placements covering keys()[key_index], ascending.
  std::span<const std::uint32_t> members(std::size_t key_index) const {
    return {members_.data() + member_begin_[key_index],
            member_begin_[key_index + 1] - member_begin_[key_index]};
  }
  std::span<const PlacementRecord> records() const { return records_; }
  Placement placement(std::size_t id) const;

 private:
  friend std::shared_ptr<const TileMoveTable> build_tile_move_table(const Board&, std::size_t);
  friend struct EngineTestAccess;

  std::size_t player_ = 0;
  std::size_t dim_ = 0;
  std::vector<PlacementRecord> records_;
  std::vector<std::uint32_t> keys_;
  std::vector<std::uint32_t> member_begin_;  // keys_.size() + 1 entries
  std::vector<std::uint32_t> members_;
};

// Lists every valid placement of `player`'s remaining pieces on `board` (each placement once).
// Throws FatalStop for a player above 3.
std::shared_ptr<const TileMoveTable> build_tile_move_table(const Board& board, std::size_t player);

// The tile-move map of one turn in one copy of a game. Copies share the table and copy the rest
// (about a hundred bytes).
class TileMoves {
 public:
  // The empty map (no legal tile).
  TileMoves() = default;
  // The map at the start of a turn: every placement of `table` alive.
  explicit TileMoves(std::shared_ptr<const TileMoveTable> table);

  // No tile can be played.
  bool empty() const;
  // Whether `tile` is a key: some live placement covers it and it was not played this turn.
  bool contains(std::size_t tile) const;
  // The keys, ascending, into `out` (cleared first).
  void legal_tiles(std::vector<std::size_t>& out) const;
  std::vector<std::size_t> legal_tiles() const;
  // The set of `tile`: the live placements that cover it, sorted; empty when it is not a key.
  std::vector<Placement> placements(std::size_t tile) const;
  // Tiles played in this turn so far.
  std::size_t played_count() const { return played_count_; }
  // The player the map was built for (0 for the empty map).
  std::size_t player() const { return table_ != nullptr ? table_->player() : 0; }

  // Outcome of playing a tile.
  struct Narrowing {
    bool was_key;    // false: the tile was not a key, and nothing changed
    bool now_empty;  // no further tile is possible: the piece is complete
    // piece_index of the first placement of the tile's set V (all of V name the same piece
    // when the map is now empty); nullopt when V is empty.
    std::optional<std::size_t> first_piece_index;
  };
  // Plays `tile`: removes its key and keeps only the placements that cover it. A key whose set is
  // empty (a broken map) is reported with now_empty and no first_piece_index, and changes nothing.
  Narrowing narrow(std::size_t tile);

 private:
  // Calls f(id) for every live placement.
  template <class F>
  void for_each_live(F&& f) const;
  // The window mask of placement `record` around the cell (row, col).
  static WindowMask around(const PlacementRecord& record, int row, int col);
  // The same around the first tile of the turn.
  WindowMask around_first(const PlacementRecord& record) const {
    return around(record, first_row_, first_col_);
  }
  // The window bit of `tile` around the first tile, or -1 when it lies outside the window.
  int bit_of(std::size_t tile) const;

  std::shared_ptr<const TileMoveTable> table_;
  std::array<std::uint64_t, kLiveWords> live_{};  // over table_->members(first_key_)
  WindowMask played_{};                           // around first_
  WindowMask keys_{};                             // around first_, once a tile was played
  std::uint32_t first_key_ = 0;                   // of the first tile of the turn
  std::uint16_t first_row_ = 0;
  std::uint16_t first_col_ = 0;
  std::uint8_t played_count_ = 0;
};

// The tile-move map of `player` at the start of a turn: build_tile_move_table, all alive.
TileMoves get_tile_moves(const Board& board, std::size_t player);

}  // namespace tessarin

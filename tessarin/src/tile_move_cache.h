// A small memo of tile-move tables for one game and the searches on its copies.
//
// A search copies its game for every simulation and replays the tiles of the tree on the copy;
// each completed piece passes the turn, and the next player's table (every valid placement) is
// built again, although the same nodes near the root are passed hundreds of times. A table
// depends only on the board side, the player, the kinds the player holds and the player's closed
// and corner cells, so a table is kept under exactly those words and handed out again for the
// same key. Keys are compared in full; the hash only picks the candidates. The least recently
// used table makes room once `capacity` tables are kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "board.h"
#include "tile_moves.h"

namespace tessarin {

class TileMoveTableCache {
 public:
  // Eight tables a game answer most lookups of batched self-play for a small part of the memory
  // that many more tables take, and more are no faster: docs/performance.md, "Batched self-play".
  static constexpr std::size_t kDefaultCapacity = 8;

  // Throws FatalStop for a capacity of 0.
  explicit TileMoveTableCache(std::size_t capacity = kDefaultCapacity);

  // The table build_tile_move_table(board, player) gives, built only when none is kept for the
  // same key. Throws FatalStop for a player above 3.
  std::shared_ptr<const TileMoveTable> table(const Board& board, std::size_t player);

  std::size_t capacity() const { return entries_.size(); }
  // Tables handed out from the memo, and tables built.
  std::uint64_t hits() const { return hits_; }
  std::uint64_t builds() const { return builds_; }

 private:
  struct Entry {
    std::uint64_t hash = 0;
    std::uint64_t last_use = 0;  // 0: never filled
    std::shared_ptr<const TileMoveTable> table;
  };

  // Writes the key of (board, player) into key_ and returns its hash.
  std::uint64_t make_key(const Board& board, std::size_t player);
  std::uint64_t* key_of(std::size_t entry) { return keys_.data() + entry * key_words_; }

  std::vector<Entry> entries_;
  std::vector<std::uint64_t> keys_;  // key_words_ per entry
  std::vector<std::uint64_t> key_;   // the key being looked up
  std::size_t key_words_ = 0;
  std::uint64_t clock_ = 0;
  std::uint64_t hits_ = 0;
  std::uint64_t builds_ = 0;
};

}  // namespace tessarin

#include "tile_move_cache.h"

#include <algorithm>

#include "fatal.h"

namespace tessarin {
namespace {

// One step of a 64-bit multiply-xor mix; good enough to pick candidates, which are then compared
// in full.
std::uint64_t mix(std::uint64_t hash, std::uint64_t word) {
  hash ^= word + 0x9E3779B97F4A7C15ULL + (hash << 6) + (hash >> 2);
  hash *= 0xBF58476D1CE4E5B9ULL;
  return hash ^ (hash >> 31);
}

}  // namespace

TileMoveTableCache::TileMoveTableCache(std::size_t capacity) : entries_(capacity) {
  if (capacity == 0) fatal("A tile-move table cache needs room for at least one table");
}

std::uint64_t TileMoveTableCache::make_key(const Board& board, std::size_t player) {
  const std::size_t words = board.words_per_set();
  const std::size_t key_words = 2 + 2 * words;
  if (key_words != key_words_) {
    // Another board side: the kept tables cannot match any more.
    key_words_ = key_words;
    keys_.assign(entries_.size() * key_words, 0);
    std::fill(entries_.begin(), entries_.end(), Entry{});
  }
  key_.resize(key_words);
  key_[0] = board.dim();
  key_[1] = (std::uint64_t{board.pieces(player).kinds()} << 2) | player;
  std::copy_n(board.closed_words(player), words, key_.begin() + 2);
  std::copy_n(board.corner_words(player), words, key_.begin() + 2 + static_cast<long>(words));
  std::uint64_t hash = 0;
  for (std::uint64_t word : key_)
    hash = mix(hash, word);
  return hash;
}

std::shared_ptr<const TileMoveTable> TileMoveTableCache::table(const Board& board,
                                                               std::size_t player) {
  check_player(player);
  const std::uint64_t hash = make_key(board, player);
  ++clock_;
  std::size_t victim = 0;
  for (std::size_t e = 0; e < entries_.size(); ++e) {
    Entry& entry = entries_[e];
    if (entry.last_use != 0 && entry.hash == hash &&
        std::equal(key_.begin(), key_.end(), key_of(e))) {
      entry.last_use = clock_;
      ++hits_;
      return entry.table;
    }
    if (entry.last_use < entries_[victim].last_use) victim = e;
  }
  ++builds_;
  Entry& entry = entries_[victim];
  entry.table = build_tile_move_table(board, player);
  entry.hash = hash;
  entry.last_use = clock_;
  std::copy(key_.begin(), key_.end(), key_of(victim));
  return entry.table;
}

}  // namespace tessarin

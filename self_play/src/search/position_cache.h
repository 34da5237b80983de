// An exact memo of network answers by position, for the batched drivers.
//
// Self-play asks the network about the same position again and again: the squares of a piece
// laid in another order lead to one position, a search meets the transpositions of the search
// before it, and every game of a batch starts from the same board. The network's answer is a
// function of its input alone, so an answer kept for a position can stand in for evaluating it
// again (docs/performance.md says how often it does).
//
// A position is its network input: the five planes seen from the player to move (the four
// players' squares and the legal tiles), packed to bits: the key. An entry keeps the whole key,
// the policy logits at the legal tiles (the fifth plane's cells, ascending: all that expansion
// reads) and the four value logits. A lookup compares the whole key, so two positions whose
// hashes collide are a miss, never a wrong answer. Answers with a non-finite number are not kept:
// a network that failed once for a position must not fail for every game that meets it.
//
// At most `capacity` entries; the oldest goes first (a ring), so the memo keeps the most recent
// positions, where the transpositions are. Nothing is allocated once every entry has held the
// largest answer it meets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "game.h"

namespace tessarin {

class PositionCache {
 public:
  // A memo of at most `capacity` positions of side `dim` (0: none; every lookup misses).
  PositionCache(std::size_t capacity, std::size_t dim);

  bool enabled() const { return capacity_ != 0; }

  // The key of `position` (whose side is the memo's) into `key`, resized to key_words().
  void key_of(const Game& position, std::vector<std::uint64_t>& key);
  std::size_t key_words() const { return key_words_; }

  // Writes the answer kept for `key` as full rows, `policy_logits` (dim * dim entries: the
  // logits at the key's legal tiles, 0 elsewhere) and `value_logits` (4 entries), and returns
  // true; false (nothing written) when none is kept. Counts a hit or a miss.
  bool find(std::span<const std::uint64_t> key, std::span<float> policy_logits,
            std::span<float> value_logits);

  // Keeps the answer for `key`, in place of the oldest entry once the memo is full; does nothing
  // when an answer's logit at a legal tile or a value is not finite.
  void insert(std::span<const std::uint64_t> key, std::span<const float> policy_logits,
              std::span<const float> value_logits);

  std::uint64_t hits() const { return hits_; }
  std::uint64_t misses() const { return misses_; }
  std::size_t size() const { return used_; }

 private:
  struct Entry {
    std::uint64_t hash = 0;
    std::vector<float> logits;  // at the legal tiles, ascending
    float values[4] = {};
  };

  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFU;

  std::span<const std::uint64_t> key_at(std::size_t entry) const;
  // The index slot holding `entry` for `hash`, or the empty slot where it would go.
  std::size_t slot_of(std::uint64_t hash, std::span<const std::uint64_t> key) const;
  void erase_slot(std::size_t slot);
  template <class F>
  void for_each_legal(std::span<const std::uint64_t> key, F&& f) const;

  std::size_t capacity_;
  std::size_t cells_;
  std::size_t key_words_;
  std::vector<std::uint64_t> keys_;   // capacity_ keys of key_words_ words, by entry
  std::vector<Entry> entries_;        // the ring
  std::vector<std::uint32_t> index_;  // open addressing by hash: entry number or kEmpty
  std::vector<std::uint8_t> planes_;  // scratch: one position's planes, channels first
  std::size_t next_ = 0;              // the entry the next insert takes
  std::size_t used_ = 0;
  std::uint64_t hits_ = 0;
  std::uint64_t misses_ = 0;
};

}  // namespace tessarin

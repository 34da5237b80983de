#include "position_cache.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

#include "fatal.h"

namespace tessarin {
namespace {

std::uint64_t hash_words(std::span<const std::uint64_t> words) {
  std::uint64_t h = 0x9E3779B97F4A7C15ULL;
  for (const std::uint64_t word : words) {
    h = (h ^ word) * 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 31;
  }
  return h ^ (h >> 29);
}

}  // namespace

PositionCache::PositionCache(std::size_t capacity, std::size_t dim)
    : capacity_(capacity), cells_(dim * dim), key_words_((kStatePlanes * dim * dim + 63) / 64) {
  if (capacity_ == 0) return;
  if (capacity_ >= kEmpty) fatal("A position memo holds fewer than 2**32 - 1 entries");
  keys_.resize(capacity_ * key_words_);
  entries_.resize(capacity_);
  index_.assign(std::bit_ceil(2 * capacity_), kEmpty);
  planes_.resize(kStatePlanes * cells_);
}

void PositionCache::key_of(const Game& position, std::vector<std::uint64_t>& key) {
  position.write_game_state(false, planes_);
  key.assign(key_words_, 0);
  for (std::size_t i = 0; i < planes_.size(); ++i) {
    if (planes_[i] != 0) key[i >> 6] |= std::uint64_t{1} << (i & 63);
  }
}

std::span<const std::uint64_t> PositionCache::key_at(std::size_t entry) const {
  return std::span<const std::uint64_t>(keys_).subspan(entry * key_words_, key_words_);
}

template <class F>
void PositionCache::for_each_legal(std::span<const std::uint64_t> key, F&& f) const {
  const std::size_t first = (kStatePlanes - 1) * cells_;
  std::size_t k = 0;
  for (std::size_t cell = 0; cell < cells_; ++cell) {
    const std::size_t bit = first + cell;
    if ((key[bit >> 6] >> (bit & 63)) & 1U) f(cell, k++);
  }
}

std::size_t PositionCache::slot_of(std::uint64_t hash, std::span<const std::uint64_t> key) const {
  const std::size_t mask = index_.size() - 1;
  for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const std::uint32_t entry = index_[slot];
    if (entry == kEmpty) return slot;
    if (entries_[entry].hash == hash && std::ranges::equal(key_at(entry), key)) return slot;
  }
}

void PositionCache::erase_slot(std::size_t hole) {
  // Backward-shift deletion: the entries after the hole whose home is not between the hole and
  // them move back, so every entry stays reachable from its home without a tombstone.
  const std::size_t mask = index_.size() - 1;
  index_[hole] = kEmpty;
  for (std::size_t slot = (hole + 1) & mask; index_[slot] != kEmpty; slot = (slot + 1) & mask) {
    const std::size_t home = entries_[index_[slot]].hash & mask;
    const bool stays = hole <= slot ? (hole < home && home <= slot) : (hole < home || home <= slot);
    if (stays) continue;
    index_[hole] = index_[slot];
    index_[slot] = kEmpty;
    hole = slot;
  }
}

bool PositionCache::find(std::span<const std::uint64_t> key, std::span<float> policy_logits,
                         std::span<float> value_logits) {
  if (!enabled()) {
    ++misses_;
    return false;
  }
  const std::uint32_t entry = index_[slot_of(hash_words(key), key)];
  if (entry == kEmpty) {
    ++misses_;
    return false;
  }
  const Entry& kept = entries_[entry];
  std::ranges::fill(policy_logits, 0.0F);
  for_each_legal(key,
                 [&](std::size_t cell, std::size_t k) { policy_logits[cell] = kept.logits[k]; });
  std::copy(std::begin(kept.values), std::end(kept.values), value_logits.begin());
  ++hits_;
  return true;
}

void PositionCache::insert(std::span<const std::uint64_t> key, std::span<const float> policy_logits,
                           std::span<const float> value_logits) {
  if (!enabled()) return;
  if (value_logits.size() != 4 || policy_logits.size() != cells_) {
    fatal("A position memo keeps rows of " + std::to_string(cells_) + " policy and 4 value logits");
  }
  if (!std::ranges::all_of(value_logits, [](float v) { return std::isfinite(v); })) return;
  bool finite = true;
  for_each_legal(key, [&](std::size_t cell, std::size_t) {
    finite = finite && std::isfinite(policy_logits[cell]);
  });
  if (!finite) return;
  const std::uint64_t hash = hash_words(key);
  if (index_[slot_of(hash, key)] != kEmpty) return;  // kept already: the same answer
  if (used_ == capacity_) {
    const std::size_t oldest = slot_of(entries_[next_].hash, key_at(next_));
    if (index_[oldest] == next_) erase_slot(oldest);
  } else {
    ++used_;
  }
  Entry& entry = entries_[next_];
  entry.hash = hash;
  std::ranges::copy(key, keys_.begin() + static_cast<std::ptrdiff_t>(next_ * key_words_));
  entry.logits.clear();
  for_each_legal(
      key, [&](std::size_t cell, std::size_t) { entry.logits.push_back(policy_logits[cell]); });
  std::copy(value_logits.begin(), value_logits.begin() + 4, std::begin(entry.values));
  index_[slot_of(hash, key)] = static_cast<std::uint32_t>(next_);
  next_ = (next_ + 1) % capacity_;
}

}  // namespace tessarin

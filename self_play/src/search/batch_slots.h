// What the two batched drivers (SelfPlayBatch, MatchBatch) share: the settings every batch checks
// when it is made, and the game slots whose waiting positions are staged and evaluated together.
//
// One round: step() advances every slot that does not wait, through the driver's `advance(slot)`
// (which returns the position the slot's game now waits on, or nullptr when the slot has no game
// left) and stages each waiting position as bytes; write_positions() copies the positions of the
// waiting slots, in order, into one buffer; complete() checks the answers' sizes, then hands each
// waiting slot its rows (the driver's `answer`) and advances that slot at once, while its game is
// in the cache: with hundreds of games, touching each game once per round instead of twice is
// most of a batch's own cost.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "board.h"
#include "config.h"
#include "fatal.h"
#include "game.h"

namespace tessarin {

class BatchSlots {
 public:
  // min(games, total_games) slots for positions of side config.dim, laid out as config.rep says.
  // Throws FatalStop for no slot or no game, a board side the engine refuses, a representation
  // other than 1 or 2, a noise concentration not above 0 when `draws_noise`, a Gumbel root that
  // considers no tile, or a step's positions (as float32) too many to count in bytes.
  BatchSlots(const Config& config, std::size_t games, std::uint64_t total_games, bool draws_noise);

  std::size_t count() const { return ready_.size(); }
  // Entries of one position: kStatePlanes * dim * dim.
  std::size_t position_size() const { return position_size_; }
  // The slots that wait, in the order their rows are written and answered.
  std::span<const std::size_t> waiting() const { return waiting_; }

  // Advances every slot that does not wait with `advance(slot)` and stages the position it
  // returns. Returns the waiting slots, ascending; called again before complete(), the same slots
  // (nothing is advanced).
  template <class Advance>
  std::span<const std::size_t> step(Advance&& advance) {
    if (!waiting_.empty()) return waiting_;
    for (std::size_t slot = 0; slot < count(); ++slot) {
      if (!ready_[slot]) stage(slot, advance(slot));
      if (ready_[slot]) waiting_.push_back(slot);
    }
    return waiting_;
  }

  // Orders the waiting slots by `key(slot)`, ascending, keeping the order of equal keys.
  template <class Key>
  void order_waiting(Key&& key) {
    std::stable_sort(waiting_.begin(), waiting_.end(),
                     [&](std::size_t a, std::size_t b) { return key(a) < key(b); });
  }

  // Writes the position of each waiting slot, in order, into `out` (waiting().size() *
  // position_size() entries). Throws FatalStop for an `out` of another size.
  void write_positions(std::span<std::uint8_t> out) const { write(out); }
  void write_positions(std::span<float> out) const { write(out); }

  // Answers every waiting slot: `answer(slot, policy, values)` with row k of `policy_logits`
  // (dim * dim entries) and of `value_logits` (4 entries) for the k-th waiting slot, then
  // `advance(slot)`, whose position is staged. Throws FatalStop when nothing waits or for rows of
  // another size; nothing changes then.
  template <class Answer, class Advance>
  void complete(std::span<const float> policy_logits, std::span<const float> value_logits,
                Answer&& answer, Advance&& advance) {
    check_answers(policy_logits.size(), value_logits.size());
    for (std::size_t k = 0; k < waiting_.size(); ++k) {
      const std::size_t slot = waiting_[k];
      answer(slot, policy_logits.subspan(k * cells_, cells_),
             value_logits.subspan(k * kPlayers, kPlayers));
      stage(slot, advance(slot));
    }
    waiting_.clear();
  }

 private:
  // Marks `slot` as waiting on `position` and stages it; as idle for nullptr.
  void stage(std::size_t slot, const Game* position);
  void check_answers(std::size_t policy_entries, std::size_t value_entries) const;

  template <class T>
  void write(std::span<T> out) const {
    if (out.size() != waiting_.size() * position_size_) {
      fatal("Positions of " + std::to_string(waiting_.size()) + " games need " +
            std::to_string(waiting_.size() * position_size_) + " entries, not " +
            std::to_string(out.size()));
    }
    for (std::size_t k = 0; k < waiting_.size(); ++k) {
      const std::uint8_t* position = staged_.data() + waiting_[k] * position_size_;
      T* row = out.data() + k * position_size_;
      for (std::size_t i = 0; i < position_size_; ++i)
        row[i] = static_cast<T>(position[i]);
    }
  }

  bool channels_last_;
  std::size_t cells_;
  std::size_t position_size_;
  std::vector<std::uint8_t> staged_;  // per slot, the position its game waits on
  std::vector<bool> ready_;           // per slot: its game waits; its position is staged
  std::vector<std::size_t> waiting_;
};

}  // namespace tessarin

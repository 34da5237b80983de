// Batched self-play: N training games side by side, each with its own tree, random source, root
// noise, tree reuse, sampling and greedy phase (TrainingGame, the same game the per-game driver
// plays), whose waiting positions are evaluated together.
//
// One round (batch_slots.h): step() advances every game that does not wait until it waits for an
// evaluation (a finished game's slot starts the next game while any are left), then
// write_positions() writes the waiting positions into one buffer, and complete() takes one row of
// logits per waiting game (and advances each answered game to its next leaf at once).
// A game whose search fails, or which stops on input the host gave it (logits that leave a root
// without children), is abandoned: it counts as finished and failed, with no record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "batch_slots.h"
#include "config.h"
#include "engine_seat.h"
#include "position_cache.h"
#include "random_source.h"
#include "training_game.h"

namespace tessarin {

// A game played to its end: its number (from 0, in the order games started) and its record.
struct FinishedGame {
  std::uint64_t number;
  TrainingRecord record;
};

class SelfPlayBatch {
 public:
  // `games` slots (at least 1) playing `total_games` games (at least 1) in all. With a `seed`,
  // game number k (from 0, in the order games start) draws from RandomSource(game_seed(seed, k));
  // without, every game's source is seeded from the operating system's entropy. Throws FatalStop
  // for a board side the engine refuses, a noise concentration not above 0, a representation other
  // than 1 or 2, or no games.
  // `cap` randomizes each action's search between full and fast (see PlayoutCap); a share
  // outside [0, 1] or NaN is refused (FatalStop). `opponents` seats engine players in a share of
  // the games (see EngineOpponents); a share outside [0, 1] or NaN is refused (FatalStop).
  // `cached_positions` answers kept in a PositionCache shared by the batch's games (0: none): a
  // game that waits on a position kept there is answered from it and goes on, without waiting.
  SelfPlayBatch(const Config& config, std::size_t games, std::uint64_t total_games,
                std::optional<std::uint64_t> seed = std::nullopt, PlayoutCap cap = {},
                EngineOpponents opponents = {}, std::size_t cached_positions = 0);

  // Advances every game that does not wait. Returns the slots that now wait, ascending; empty
  // once every game has finished. Calling it again before complete() returns the same slots.
  std::span<const std::size_t> step();

  // Entries of one position: kStatePlanes * dim * dim.
  std::size_t position_size() const { return slots_.position_size(); }
  // Writes the position of each waiting game, in the order of step()'s slots, into `out`
  // (waiting() * position_size() entries), planes first or last as the configuration's rep says.
  // Throws FatalStop for an `out` of another size.
  void write_positions(std::span<std::uint8_t> out) const { slots_.write_positions(out); }
  void write_positions(std::span<float> out) const { slots_.write_positions(out); }

  // Answers every waiting game: row k of `policy_logits` (dim * dim entries) and of
  // `value_logits` (4 entries, relative to the player to move) for the k-th slot step() gave.
  // Throws FatalStop when nothing waits or for rows of another size (nothing changes then).
  void complete(std::span<const float> policy_logits, std::span<const float> value_logits);

  // The games played to their end since the last call, in the order they finished.
  std::vector<FinishedGame> take_finished();
  // Why each game abandoned since the last call was abandoned, in order.
  std::vector<std::string> take_failed();

  const Config& config() const { return config_; }
  // Game slots in use: min(games, total_games).
  std::size_t slot_count() const { return slots_.count(); }
  std::size_t waiting() const { return slots_.waiting().size(); }
  std::uint64_t games_started() const { return started_; }
  std::uint64_t games_finished() const { return finished_; }
  std::uint64_t games_failed() const { return failed_; }
  bool done() const { return finished_ == total_; }
  // Why the last abandoned game was abandoned, if any game was.
  const std::optional<std::string>& last_failure() const { return last_failure_; }
  // Evaluations answered from the position memo, and those it did not hold.
  std::uint64_t cache_hits() const { return cache_.hits(); }
  std::uint64_t cache_misses() const { return cache_.misses(); }

 private:
  struct Slot {
    std::unique_ptr<RandomSource> random;  // the game points at it
    std::unique_ptr<TrainingGame> game;    // null when the slot is idle
    std::uint64_t number = 0;              // of the game
    std::vector<std::uint64_t> key;        // of the position it waits on, with the memo on
  };

  // Starts the next game in `slot`, if any is left.
  void start_game(Slot& slot);
  // Advances the game of slot `s` until it waits or no game is left for the slot; returns the
  // position it waits on, or nullptr.
  const Game* advance(std::size_t s);
  // Ends the game of `slot`: its record (if it was played to its end) joins the finished ones.
  void finish_game(Slot& slot);
  void abandon_game(Slot& slot, const std::string& message);

  Config config_;
  PlayoutCap cap_;
  EngineOpponents opponents_;
  std::uint64_t total_;
  std::optional<std::uint64_t> seed_;
  BatchSlots slots_;
  PositionCache cache_;
  std::vector<float> kept_policy_;  // an answer read from the memo
  std::vector<float> kept_values_;
  std::vector<Slot> games_;  // per slot
  std::vector<FinishedGame> finished_games_;
  std::vector<std::string> failures_;
  std::uint64_t started_ = 0;
  std::uint64_t finished_ = 0;
  std::uint64_t failed_ = 0;
  std::optional<std::string> last_failure_;
};

}  // namespace tessarin

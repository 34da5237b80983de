#include "self_play_batch.h"

#include <string>
#include <utility>

#include "fatal.h"
#include "game.h"

namespace tessarin {

SelfPlayBatch::SelfPlayBatch(const Config& config, std::size_t games, std::uint64_t total_games,
                             std::optional<std::uint64_t> seed, PlayoutCap cap,
                             EngineOpponents opponents, std::size_t cached_positions)
    : config_(config),
      cap_(cap),
      opponents_(opponents),
      total_(total_games),
      seed_(seed),
      // The worker module stops at the first root noise, which every game draws at its first
      // action: a concentration it would stop on is refused here.
      slots_(config, games, total_games, true),
      cache_(cached_positions, static_cast<std::size_t>(config.dim)),
      kept_policy_(static_cast<std::size_t>(config.dim * config.dim)),
      kept_values_(kPlayers) {
  if (!(cap.full_share >= 0.0F && cap.full_share <= 1.0F)) {
    fatal("The share of full searches must be between 0 and 1, not " +
          std::to_string(cap.full_share));
  }
  if (!(opponents.share >= 0.0F && opponents.share <= 1.0F)) {
    fatal("The share of games against engine players must be between 0 and 1, not " +
          std::to_string(opponents.share));
  }
  games_.resize(slots_.count());
  for (Slot& slot : games_)
    start_game(slot);
}

void SelfPlayBatch::start_game(Slot& slot) {
  slot.game.reset();
  if (started_ == total_) return;
  slot.random = seed_ ? std::make_unique<RandomSource>(game_seed(*seed_, started_))
                      : std::make_unique<RandomSource>();
  slot.number = started_++;
  const Seats seats = opponents_.draw(*slot.random);
  slot.game = std::make_unique<TrainingGame>(config_, *slot.random, cap_, seats);
}

void SelfPlayBatch::finish_game(Slot& slot) {
  ++finished_;
  if (slot.game->failed()) {
    ++failed_;
    failures_.push_back(slot.game->failure());
    last_failure_ = slot.game->failure();
  } else {
    finished_games_.push_back(FinishedGame{slot.number, slot.game->take_record()});
  }
  start_game(slot);
}

void SelfPlayBatch::abandon_game(Slot& slot, const std::string& message) {
  slot.game->abandon(message);
  finish_game(slot);
}

const Game* SelfPlayBatch::advance(std::size_t s) {
  Slot& slot = games_[s];
  while (slot.game) {
    try {
      const Game* position = slot.game->next();
      if (position == nullptr) {
        finish_game(slot);
        continue;
      }
      if (!cache_.enabled()) return position;
      cache_.key_of(*position, slot.key);
      if (!cache_.find(slot.key, kept_policy_, kept_values_)) return position;
      slot.game->complete(kept_policy_, kept_values_);
    } catch (const FatalStop& stop) {
      abandon_game(slot, stop.what());
    }
  }
  return nullptr;
}

std::span<const std::size_t> SelfPlayBatch::step() {
  return slots_.step([&](std::size_t s) { return advance(s); });
}

void SelfPlayBatch::complete(std::span<const float> policy_logits,
                             std::span<const float> value_logits) {
  slots_.complete(
      policy_logits, value_logits,
      [&](std::size_t s, std::span<const float> policy, std::span<const float> values) {
        Slot& slot = games_[s];
        if (cache_.enabled()) cache_.insert(slot.key, policy, values);
        try {
          slot.game->complete(policy, values);
        } catch (const FatalStop& stop) {
          abandon_game(slot, stop.what());
        }
      },
      [&](std::size_t s) { return advance(s); });
}

std::vector<FinishedGame> SelfPlayBatch::take_finished() {
  return std::exchange(finished_games_, {});
}

std::vector<std::string> SelfPlayBatch::take_failed() {
  return std::exchange(failures_, {});
}

}  // namespace tessarin

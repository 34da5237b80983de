#include "self_play_batch.h"

#include <limits>
#include <string>
#include <utility>

#include "board.h"
#include "fatal.h"
#include "game.h"
#include "staged_positions.h"

namespace tessarin {

SelfPlayBatch::SelfPlayBatch(const Config& config, std::size_t games, std::uint64_t total_games,
                             std::optional<std::uint64_t> seed, PlayoutCap cap,
                             EngineOpponents opponents)
    : config_(config), cap_(cap), opponents_(opponents), total_(total_games), seed_(seed) {
  if (games == 0) fatal("A batch needs at least one game slot");
  if (!(cap.full_share >= 0.0F && cap.full_share <= 1.0F)) {
    fatal("The share of full searches must be between 0 and 1, not " +
          std::to_string(cap.full_share));
  }
  if (!(opponents.share >= 0.0F && opponents.share <= 1.0F)) {
    fatal("The share of games against engine players must be between 0 and 1, not " +
          std::to_string(opponents.share));
  }
  if (total_games == 0) fatal("A batch needs at least one game to play");
  if (config.dim < 4 || config.dim > kMaxDim) {
    fatal("The board side must be between 4 and " + std::to_string(kMaxDim) + ", not " +
          std::to_string(config.dim));
  }
  if (config.rep != 1 && config.rep != 2) {
    fatal("Invalid representation type: rep must be 1 or 2, not " + std::to_string(config.rep));
  }
  // The worker module stops at the first root noise, which every game draws at its first action.
  if (!(config.dirichlet_alpha > 0.0F)) {
    fatal("dirichlet_alpha must be above 0 (the concentration of the root noise), not " +
          std::to_string(config.dirichlet_alpha));
  }
  const std::size_t used = total_games < games ? static_cast<std::size_t>(total_games) : games;
  // A step's positions, as float32, must be countable in bytes.
  if (used > std::numeric_limits<std::size_t>::max() / sizeof(float) / position_size()) {
    fatal("The positions of " + std::to_string(used) + " games of side " +
          std::to_string(config.dim) + " do not fit in memory");
  }
  staged_.resize(used * position_size());
  slots_.resize(used);
  for (Slot& slot : slots_)
    start_game(slot);
}

void SelfPlayBatch::start_game(Slot& slot) {
  slot.game.reset();
  if (started_ == total_) return;
  slot.random =
      seed_ ? std::make_unique<RandomSource>(*seed_ + started_) : std::make_unique<RandomSource>();
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

bool SelfPlayBatch::advance(Slot& slot) {
  while (slot.game) {
    try {
      if (slot.game->next() != nullptr) return true;
    } catch (const FatalStop& stop) {
      abandon_game(slot, stop.what());
      continue;
    }
    finish_game(slot);
  }
  return false;
}

void SelfPlayBatch::advance_and_stage(std::size_t s) {
  Slot& slot = slots_[s];
  slot.ready = advance(slot);
  if (!slot.ready) return;
  const std::size_t size = position_size();
  slot.game->next()->write_game_state(config_.rep == 2,
                                      std::span<std::uint8_t>(staged_).subspan(s * size, size));
}

std::span<const std::size_t> SelfPlayBatch::step() {
  if (!waiting_.empty()) return waiting_;
  for (std::size_t s = 0; s < slots_.size(); ++s) {
    if (!slots_[s].ready) advance_and_stage(s);
    if (slots_[s].ready) waiting_.push_back(s);
  }
  return waiting_;
}

std::size_t SelfPlayBatch::position_size() const {
  return kStatePlanes * static_cast<std::size_t>(config_.dim * config_.dim);
}

void SelfPlayBatch::write_positions(std::span<std::uint8_t> out) const {
  write_staged_positions<std::uint8_t>(staged_, waiting_, position_size(), out);
}

void SelfPlayBatch::write_positions(std::span<float> out) const {
  write_staged_positions<float>(staged_, waiting_, position_size(), out);
}

void SelfPlayBatch::complete(std::span<const float> policy_logits,
                             std::span<const float> value_logits) {
  if (waiting_.empty()) fatal("No position waits for an evaluation");
  const std::size_t cells = static_cast<std::size_t>(config_.dim * config_.dim);
  if (policy_logits.size() != waiting_.size() * cells ||
      value_logits.size() != waiting_.size() * kPlayers) {
    fatal("Answers for " + std::to_string(waiting_.size()) + " positions need " +
          std::to_string(waiting_.size() * cells) + " policy and " +
          std::to_string(waiting_.size() * kPlayers) + " value logits");
  }
  // Each game is answered and at once advanced to its next leaf (and that position staged) while
  // its tree and game are in the cache: with hundreds of games, touching each game once per
  // round instead of twice is most of the batch's own cost.
  for (std::size_t k = 0; k < waiting_.size(); ++k) {
    const std::size_t s = waiting_[k];
    Slot& slot = slots_[s];
    const std::span<const float> values = value_logits.subspan(k * kPlayers, kPlayers);
    try {
      slot.game->complete(policy_logits.subspan(k * cells, cells), values);
    } catch (const FatalStop& stop) {
      abandon_game(slot, stop.what());
    }
    advance_and_stage(s);
  }
  waiting_.clear();
}

std::vector<FinishedGame> SelfPlayBatch::take_finished() {
  return std::exchange(finished_games_, {});
}

std::vector<std::string> SelfPlayBatch::take_failed() {
  return std::exchange(failures_, {});
}

}  // namespace tessarin

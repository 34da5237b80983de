#include "batch_slots.h"

#include <limits>

namespace tessarin {

BatchSlots::BatchSlots(const Config& config, std::size_t games, std::uint64_t total_games,
                       bool draws_noise)
    : channels_last_(config.rep == 2),
      cells_(static_cast<std::size_t>(config.dim * config.dim)),
      position_size_(kStatePlanes * cells_) {
  if (games == 0) fatal("A batch needs at least one game slot");
  if (total_games == 0) fatal("A batch needs at least one game to play");
  if (config.dim < 4 || config.dim > kMaxDim) {
    fatal("The board side must be between 4 and " + std::to_string(kMaxDim) + ", not " +
          std::to_string(config.dim));
  }
  if (config.rep != 1 && config.rep != 2) {
    fatal("Invalid representation type: rep must be 1 or 2, not " + std::to_string(config.rep));
  }
  if (draws_noise && !(config.dirichlet_alpha > 0.0F)) {
    fatal("dirichlet_alpha must be above 0 (the concentration of the root noise), not " +
          std::to_string(config.dirichlet_alpha));
  }
  if (config.root_search == RootSearch::kGumbel && config.gumbel_considered == 0) {
    fatal("gumbel_considered must be at least 1 (the tiles a Gumbel root samples), not 0");
  }
  const std::size_t used = total_games < games ? static_cast<std::size_t>(total_games) : games;
  // A step's positions, as float32, must be countable in bytes.
  if (used > std::numeric_limits<std::size_t>::max() / sizeof(float) / position_size_) {
    fatal("The positions of " + std::to_string(used) + " games of side " +
          std::to_string(config.dim) + " do not fit in memory");
  }
  staged_.resize(used * position_size_);
  ready_.resize(used);
}

void BatchSlots::stage(std::size_t slot, const Game* position) {
  ready_[slot] = position != nullptr;
  if (position == nullptr) return;
  position->write_game_state(channels_last_, std::span<std::uint8_t>(staged_).subspan(
                                                 slot * position_size_, position_size_));
}

void BatchSlots::check_answers(std::size_t policy_entries, std::size_t value_entries) const {
  if (waiting_.empty()) fatal("No position waits for an evaluation");
  if (policy_entries != waiting_.size() * cells_ || value_entries != waiting_.size() * kPlayers) {
    fatal("Answers for " + std::to_string(waiting_.size()) + " positions need " +
          std::to_string(waiting_.size() * cells_) + " policy and " +
          std::to_string(waiting_.size() * kPlayers) + " value logits");
  }
}

}  // namespace tessarin

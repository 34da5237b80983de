#include "match_batch.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "board.h"
#include "evaluation.h"
#include "fatal.h"
#include "heuristic_player.h"
#include "raw_policy.h"
#include "staged_positions.h"
#include "training_game.h"

namespace tessarin {

struct MatchBatch::Match {
  Match(const Config& config, std::uint64_t number, std::optional<std::uint64_t> seed)
      : random(seed ? RandomSource(*seed + number) : RandomSource()),
        game(Game::reset(config.dim)),
        number(number),
        rotation(static_cast<std::size_t>(number % kPlayers)) {}

  RandomSource random;
  Game game;
  std::uint64_t number;
  std::size_t rotation;
  // Per lineup entry, the root its searches start from (only searching entries grow one).
  std::array<Node, kPlayers> roots;
  // The search of the network seat to move, while one is under way.
  std::optional<PositionSearch> search;
  // The tables of the turns the match and its searches pass, shared by their game copies.
  TileMoveTableCache tables;
  std::vector<std::size_t> legal;
  VisitDistribution dist;
  // Heuristic seats keep the placement they committed to across the tiles of a turn.
  HeuristicPlayer heuristic;
};

MatchBatch::MatchBatch(const Config& config, const std::array<Player, 4>& lineup, std::size_t games,
                       std::uint64_t total_games, std::optional<std::uint64_t> seed)
    : config_(config), lineup_(lineup), total_(total_games), seed_(seed) {
  if (games == 0) fatal("A batch needs at least one game slot");
  if (total_games == 0) fatal("A batch needs at least one game to play");
  if (config.dim < 4 || config.dim > kMaxDim) {
    fatal("The board side must be between 4 and " + std::to_string(kMaxDim) + ", not " +
          std::to_string(config.dim));
  }
  if (config.rep != 1 && config.rep != 2) {
    fatal("Invalid representation type: rep must be 1 or 2, not " + std::to_string(config.rep));
  }
  if (config.sims_per_move != 0 && !(config.dirichlet_alpha > 0.0F)) {
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
    start_match(slot);
}

MatchBatch::~MatchBatch() = default;

void MatchBatch::start_match(Slot& slot) {
  slot.match.reset();
  if (started_ == total_) return;
  slot.match = std::make_unique<Match>(config_, started_++, seed_);
}

std::size_t MatchBatch::entry_to_move(const Match& match) const {
  return (match.game.current_player() + kPlayers - match.rotation) % kPlayers;
}

bool MatchBatch::samples(const Match& match) const {
  return match.game.history().size() < config_.sample_moves;
}

void MatchBatch::play(Match& match, std::size_t tile) {
  match.game.apply_legal(tile, &match.tables);
  if (config_.sims_per_move == 0) return;
  for (Node& root : match.roots) {
    std::optional<Node> child = root.take_child(tile);
    root = child ? std::move(*child) : Node{};
  }
}

std::uint32_t MatchBatch::searched_tile(Match& match, const Node& root) {
  std::uint32_t total = 0;
  match.dist.clear();
  for (const Node& child : root.children()) {
    total += child.visit_count();
    match.dist.emplace_back(child.tile(), child.visit_count());
  }
  if (match.dist.empty()) fatal("A search left the root without a child to play");
  return samples(match) ? sample_action(match.dist, total, match.random.uniform_float())
                        : greedy_action(match.dist);
}

void MatchBatch::finish_match(Slot& slot, std::optional<std::string> failure) {
  ++finished_;
  if (failure) {
    ++failed_;
    failures_.push_back(*failure);
    last_failure_ = std::move(failure);
  } else {
    Match& match = *slot.match;
    MatchResult result{
        match.number, match.rotation, match.game.get_payoff(), {}, match.game.take_history()};
    for (std::size_t entry = 0; entry < kPlayers; ++entry)
      result.payoff_by_entry[entry] = result.payoff_by_seat[(entry + result.rotation) % kPlayers];
    finished_matches_.push_back(result);
  }
  start_match(slot);
}

bool MatchBatch::advance(Slot& slot) {
  while (slot.match) {
    Match& match = *slot.match;
    try {
      while (!match.game.is_terminal()) {
        const std::size_t entry = entry_to_move(match);
        const Player& player = lineup_[entry];
        if (player.kind != PlayerKind::kNetwork) {
          play(match,
               engine_tile(player.kind, match.game, match.random, match.heuristic, match.legal));
          continue;
        }
        if (config_.sims_per_move == 0) return true;  // the raw position waits
        if (!match.search) {
          match.search.emplace(match.roots[entry], match.game, config_, match.random, &match.tables,
                               config_.sims_per_move, config_.exploration_fraction > 0.0F);
        }
        if (match.search->next() != nullptr) return true;
        if (match.search->failure()) throw FatalStop(*match.search->failure());
        match.search.reset();
        play(match, searched_tile(match, match.roots[entry]));
      }
    } catch (const FatalStop& stop) {
      finish_match(slot, std::string(stop.what()));
      continue;
    }
    finish_match(slot, std::nullopt);
  }
  return false;
}

void MatchBatch::advance_and_stage(std::size_t s) {
  Slot& slot = slots_[s];
  slot.ready = advance(slot);
  if (!slot.ready) return;
  Match& match = *slot.match;
  const Game* position = match.search ? match.search->next() : &match.game;
  const std::size_t size = position_size();
  position->write_game_state(config_.rep == 2,
                             std::span<std::uint8_t>(staged_).subspan(s * size, size));
}

std::span<const std::size_t> MatchBatch::step() {
  if (!waiting_.empty()) return waiting_;
  for (std::size_t s = 0; s < slots_.size(); ++s) {
    if (!slots_[s].ready) advance_and_stage(s);
    if (slots_[s].ready) waiting_.push_back(s);
  }
  const auto network_of = [&](std::size_t s) {
    return lineup_[entry_to_move(*slots_[s].match)].network;
  };
  std::stable_sort(waiting_.begin(), waiting_.end(),
                   [&](std::size_t a, std::size_t b) { return network_of(a) < network_of(b); });
  networks_.clear();
  for (std::size_t s : waiting_)
    networks_.push_back(network_of(s));
  return waiting_;
}

std::size_t MatchBatch::position_size() const {
  return kStatePlanes * static_cast<std::size_t>(config_.dim * config_.dim);
}

void MatchBatch::write_positions(std::span<std::uint8_t> out) const {
  write_staged_positions<std::uint8_t>(staged_, waiting_, position_size(), out);
}

void MatchBatch::write_positions(std::span<float> out) const {
  write_staged_positions<float>(staged_, waiting_, position_size(), out);
}

void MatchBatch::answer(Match& match, std::span<const float> policy,
                        std::span<const float> values) {
  if (match.search) {
    match.search->complete(policy, values);
    return;
  }
  const RawChoice choice = samples(match) ? RawChoice::kSampled : RawChoice::kBestPrior;
  play(match, raw_policy_tile(match.game, policy, values, choice, match.random, match.legal));
}

void MatchBatch::complete(std::span<const float> policy_logits,
                          std::span<const float> value_logits) {
  if (waiting_.empty()) fatal("No position waits for an evaluation");
  const std::size_t cells = static_cast<std::size_t>(config_.dim * config_.dim);
  if (policy_logits.size() != waiting_.size() * cells ||
      value_logits.size() != waiting_.size() * kPlayers) {
    fatal("Answers for " + std::to_string(waiting_.size()) + " positions need " +
          std::to_string(waiting_.size() * cells) + " policy and " +
          std::to_string(waiting_.size() * kPlayers) + " value logits");
  }
  for (std::size_t k = 0; k < waiting_.size(); ++k) {
    const std::size_t s = waiting_[k];
    Match& match = *slots_[s].match;
    const std::span<const float> values = value_logits.subspan(k * kPlayers, kPlayers);
    const std::span<const float> policy = policy_logits.subspan(k * cells, cells);
    try {
      answer(match, policy, values);
    } catch (const FatalStop& stop) {
      finish_match(slots_[s], std::string(stop.what()));
    }
    advance_and_stage(s);
  }
  waiting_.clear();
  networks_.clear();
}

std::vector<MatchResult> MatchBatch::take_finished() {
  return std::exchange(finished_matches_, {});
}

std::vector<std::string> MatchBatch::take_failed() {
  return std::exchange(failures_, {});
}

}  // namespace tessarin

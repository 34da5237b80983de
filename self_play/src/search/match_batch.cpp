#include "match_batch.h"

#include <algorithm>
#include <utility>

#include "board.h"
#include "evaluation.h"
#include "fatal.h"
#include "heuristic_player.h"
#include "node.h"
#include "random_source.h"
#include "raw_policy.h"
#include "search.h"
#include "training_game.h"

namespace tessarin {

struct MatchBatch::Match {
  Match(const Config& config, std::uint64_t number, std::optional<std::uint64_t> seed)
      : random(seed ? RandomSource(game_seed(*seed, number)) : RandomSource()),
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
    : config_(config),
      lineup_(lineup),
      total_(total_games),
      seed_(seed),
      slots_(config, games, total_games, config.sims_per_move != 0) {
  matches_.resize(slots_.count());
  for (Slot& slot : matches_)
    start_match(slot);
}

MatchBatch::~MatchBatch() = default;

void MatchBatch::start_match(Slot& slot) {
  slot.reset();
  if (started_ == total_) return;
  slot = std::make_unique<Match>(config_, started_++, seed_);
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
    Match& match = *slot;
    MatchResult result{
        match.number, match.rotation, match.game.get_payoff(), {}, match.game.take_history()};
    for (std::size_t entry = 0; entry < kPlayers; ++entry)
      result.payoff_by_entry[entry] = result.payoff_by_seat[(entry + result.rotation) % kPlayers];
    finished_matches_.push_back(result);
  }
  start_match(slot);
}

const Game* MatchBatch::advance(Slot& slot) {
  while (slot) {
    Match& match = *slot;
    try {
      while (!match.game.is_terminal()) {
        const std::size_t entry = entry_to_move(match);
        const Player& player = lineup_[entry];
        if (player.kind != PlayerKind::kNetwork) {
          play(match,
               engine_tile(player.kind, match.game, match.random, match.heuristic, match.legal));
          continue;
        }
        if (config_.sims_per_move == 0) return &match.game;  // the raw position waits
        if (!match.search) {
          match.search.emplace(match.roots[entry], match.game, config_, match.random, &match.tables,
                               config_.sims_per_move, config_.exploration_fraction > 0.0F);
        }
        if (const Game* position = match.search->next()) return position;
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
  return nullptr;
}

std::span<const std::size_t> MatchBatch::step() {
  if (slots_.waiting().empty()) {
    slots_.step([&](std::size_t s) { return advance(matches_[s]); });
    slots_.order_waiting(
        [&](std::size_t s) { return lineup_[entry_to_move(*matches_[s])].network; });
    networks_.clear();
    for (const std::size_t s : slots_.waiting())
      networks_.push_back(lineup_[entry_to_move(*matches_[s])].network);
  }
  return slots_.waiting();
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
  slots_.complete(
      policy_logits, value_logits,
      [&](std::size_t s, std::span<const float> policy, std::span<const float> values) {
        try {
          answer(*matches_[s], policy, values);
        } catch (const FatalStop& stop) {
          finish_match(matches_[s], std::string(stop.what()));
        }
      },
      [&](std::size_t s) { return advance(matches_[s]); });
  networks_.clear();
}

std::vector<MatchResult> MatchBatch::take_finished() {
  return std::exchange(finished_matches_, {});
}

std::vector<std::string> MatchBatch::take_failed() {
  return std::exchange(failures_, {});
}

}  // namespace tessarin

// The training game: all four seats guided by the same search (or some played by engine players,
// see EngineOpponents); the visit shares of every search (with a Gumbel root, its completed-Q
// policy) are the policy targets, and the finished game goes to the host as one training record.
//
// TrainingGame is the game as a step machine (it asks for one evaluation at a time), so that the
// per-game driver below and the batched driver play exactly the same game.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "engine_seat.h"
#include "fatal.h"
#include "game.h"
#include "node.h"
#include "random_source.h"
#include "search.h"

namespace tessarin {

// (tile, share of the root's visits) for every child of a search's root, in enumeration order.
using Policy = std::vector<std::pair<std::int32_t, float>>;

struct TrainingRecord {
  std::vector<HistoryEntry> history;  // (player, tile) of every action, in order
  std::vector<Policy> policies;       // one per action
  std::array<float, 4> payoff;        // by absolute player
};

// (tile, visits) of every child, in enumeration order.
using VisitDistribution = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

// The first tile at which the running sum of visit shares exceeds `r`; the last tile when none
// does (rounding, or NaN shares). Precondition: `dist` not empty.
inline std::uint32_t sample_action(const VisitDistribution& dist, std::uint32_t total, float r) {
  const auto t = static_cast<float>(total);
  float sum = 0.0F;
  for (const auto& [tile, visits] : dist) {
    sum += static_cast<float>(visits) / t;
    if (sum > r) return tile;
  }
  return dist.back().first;
}

// The most visited tile, the last of equal counts. Precondition: `dist` not empty.
inline std::uint32_t greedy_action(const VisitDistribution& dist) {
  std::uint32_t best = 0;
  std::uint32_t chosen = dist.front().first;
  for (const auto& [tile, visits] : dist) {
    if (visits >= best) {
      best = visits;
      chosen = tile;
    }
  }
  return chosen;
}

// Playout-cap randomization: each action's search is a full one (config.sims_per_move
// simulations, root noise, its visit shares a policy target) with probability `full_share`, and
// otherwise a fast one (`fast_sims` simulations, no noise, no target: its policy shares are NaN,
// which the host reads as "no target"). Fast searches still choose the action, so a game costs
// far fewer evaluations while its outcome, the value target of every full search, stays that of
// searched play. `fast_sims` 0 turns it off: every search is full and no random number is drawn
// for the choice, so games are those of a game without it.
struct PlayoutCap {
  std::uint64_t fast_sims = 0;
  float full_share = 1.0F;

  bool enabled() const { return fast_sims != 0; }
};

// One training game, played step by step: `next` advances (searches, chooses, applies tiles)
// until a position needs the network, `complete` takes the network's answer. The tree is reused
// from one action to the next; the parts no longer reachable are released as the root moves
// down. Every random choice (expansion order, noise, sampling) comes from `random`, which must
// outlive the game; so does nothing else. Not movable: its search points into it.
// `seats` says who plays each seat: the search, or an engine player whose actions are recorded
// with NaN shares over the legal tiles (no policy target).
class TrainingGame {
 public:
  // Throws FatalStop for a board side the engine refuses.
  TrainingGame(const Config& config, RandomSource& random, PlayoutCap cap = {},
               Seats seats = kNetworkSeats)
      : config_(config),
        cap_(cap),
        seats_(seats),
        random_(&random),
        game_(Game::reset(config.dim)) {}
  TrainingGame(const TrainingGame&) = delete;
  TrainingGame& operator=(const TrainingGame&) = delete;

  // The position that waits for an evaluation (the same until `complete`), or nullptr when the
  // game is over: played to its end, or abandoned after a failed search (failed()). Throws
  // FatalStop for a tile of the tree that the game refuses or a search that left the root
  // without children.
  const Game* next() {
    for (;;) {
      if (over_) return nullptr;
      if (!search_) {
        if (game_.is_terminal()) {
          over_ = true;
          return nullptr;
        }
        if (seats_[game_.current_player()] != PlayerKind::kNetwork) {
          play_engine_action();
          continue;
        }
        full_search_ = !cap_.enabled() || random_->uniform_float() < cap_.full_share;
        const std::uint64_t simulations = full_search_ ? config_.sims_per_move : cap_.fast_sims;
        search_.emplace(root_, game_, config_, *random_, &tables_, simulations, full_search_);
      }
      if (const Game* position = search_->next()) return position;
      if (search_->failure()) {
        failure_ = *search_->failure();
        failed_ = true;
        over_ = true;
        return nullptr;
      }
      play_most_promising_action();
      search_.reset();
    }
  }

  // True while the position that waits is the root of the current search.
  bool root_waits() const { return search_ && search_->root_waits(); }

  // The network's answer for the position next() returned. Throws FatalStop when nothing waits.
  void complete(std::span<const float> policy_logits, std::span<const float> value_logits) {
    if (!search_) fatal("An evaluation was answered while none was waiting");
    search_->complete(policy_logits, value_logits);
  }

  // Abandons the game (an evaluation failed, or `reason`): next() returns nullptr from now on.
  void abandon(std::string reason = {}) {
    failure_ = std::move(reason);
    search_.reset();
    failed_ = true;
    over_ = true;
  }

  bool over() const { return over_; }
  bool failed() const { return failed_; }
  // Why the game was abandoned (a search's failure message, or abandon()'s reason).
  const std::string& failure() const { return failure_; }
  // Actions played so far.
  std::size_t actions() const { return policies_.size(); }

  // The record of a game played to its end. Precondition: over() and not failed(); once only.
  TrainingRecord take_record() {
    return TrainingRecord{game_.take_history(), std::move(policies_), game_.get_payoff()};
  }

 private:
  // Plays the engine seat to move: no target (NaN shares over the legal tiles), and the root
  // moves down to the tile played, or starts afresh where the tree did not reach it.
  void play_engine_action() {
    game_.legal_tiles(legal_);
    Policy& policy = policies_.emplace_back();
    for (const std::size_t tile : legal_)
      policy.emplace_back(static_cast<std::int32_t>(tile), std::numeric_limits<float>::quiet_NaN());
    const std::size_t action =
        engine_tile(seats_[game_.current_player()], game_, *random_, heuristic_, legal_);
    game_.apply_legal(action, &tables_);
    std::optional<Node> next = root_.take_child(action);
    root_ = next ? std::move(*next) : Node{};
  }

  // Records the policy target of the finished search (the root's visit shares, or a Gumbel
  // root's completed-Q policy), chooses (sampled early and greedy later by visits, or the Gumbel
  // root's choice, whose noise already makes it a draw), applies the tile and moves the root
  // down.
  void play_most_promising_action() {
    std::uint32_t total = 0;
    for (const Node& child : root_.children())
      total += child.visit_count();
    const std::span<const float> target = search_->policy_target();
    Policy& policy = policies_.emplace_back();
    dist_.clear();
    std::size_t i = 0;
    for (const Node& child : root_.children()) {
      const float searched_share =
          !target.empty() ? target[i]
                          : static_cast<float>(child.visit_count()) / static_cast<float>(total);
      const float share = full_search_ ? searched_share : std::numeric_limits<float>::quiet_NaN();
      policy.emplace_back(static_cast<std::int32_t>(child.tile()), share);
      dist_.emplace_back(child.tile(), child.visit_count());
      ++i;
    }
    if (dist_.empty()) fatal("assertion failed: visit_dist.len() > 0");

    const std::uint32_t action = search_->chosen_tile() ? *search_->chosen_tile()
                                 : policies_.size() < config_.sample_moves
                                     ? sample_action(dist_, total, random_->uniform_float())
                                     : greedy_action(dist_);
    game_.apply_legal(action, &tables_);
    std::optional<Node> next = root_.take_child(action);
    if (!next) fatal("Child should have corresponding action");
    root_ = std::move(*next);
  }

  Config config_;
  PlayoutCap cap_;
  Seats seats_;
  RandomSource* random_;
  // The game and its searches' copies share the tables of the turns they pass.
  TileMoveTableCache tables_;
  Game game_;
  Node root_{0.0F};
  std::optional<PositionSearch> search_;
  std::vector<Policy> policies_;
  VisitDistribution dist_;
  std::vector<std::size_t> legal_;
  HeuristicPlayer heuristic_;  // of the heuristic seats
  bool full_search_ = true;    // of the current search
  bool over_ = false;
  bool failed_ = false;
  std::string failure_;
};

// What the training driver needs of its host: an evaluator, the configuration, and where the
// record goes (`put_training_record`, failures ignored).
template <class H>
concept TrainingHost = Evaluator<H> && requires(H& host, const TrainingRecord& record) {
  { host.config() } -> std::convertible_to<const Config&>;
  host.put_training_record(record);
};

// Plays one whole training game against `host`, every random choice from `random`, and hands its
// record to the host. Returns 0 when the game was played to its end, 1 when a search failed
// (nothing handed over). Throws FatalStop as TrainingGame does.
template <TrainingHost Host>
std::uint8_t training_game(Host& host, RandomSource& random) {
  TrainingGame game(host.config(), random);
  Logits logits;  // the host may play a game of its own on this thread
  while (const Game* position = game.next()) {
    if (host.evaluate(*position, logits)) return 1;
    game.complete(logits.policy, logits.value);
  }
  if (game.failed()) return 1;
  host.put_training_record(game.take_record());
  return 0;
}

// The same, with the calling thread's random source.
template <TrainingHost Host>
std::uint8_t training_game(Host& host) {
  return training_game(host, thread_random());
}

}  // namespace tessarin

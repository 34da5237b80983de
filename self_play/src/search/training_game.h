// The training game: all four seats guided by the same search; the visit shares of every search
// are the policy targets, and the finished game goes to the host as one training record.
//
// The host has what the search's evaluator has (`evaluate`), plus `config()` and
// `put_training_record(record)` (failures ignored).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "config.h"
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

// Plays one whole training game and hands its record to the host. Returns 0 when the game was
// played to its end, 1 when a search failed (nothing handed over); a tile of the tree that the
// game refuses throws FatalStop with the engine's text. The tree is reused from one
// action to the next; the parts no longer reachable are released as the root moves down.
template <class Host>
std::uint8_t training_game(Host& host) {
  const Config& config = host.config();
  RandomSource& random = thread_random();
  Game game = Game::reset(config.dim);
  std::vector<Policy> policies;
  VisitDistribution dist;
  Node root(0.0F);
  while (!game.is_terminal()) {
    if (search(host, root, game, config, random)) return 1;

    std::uint32_t total = 0;
    for (const Node& child : root.children())
      total += child.visit_count();
    Policy& policy = policies.emplace_back();
    dist.clear();
    for (const Node& child : root.children()) {
      policy.emplace_back(static_cast<std::int32_t>(child.tile()),
                          static_cast<float>(child.visit_count()) / static_cast<float>(total));
      dist.emplace_back(child.tile(), child.visit_count());
    }
    if (dist.empty()) fatal("assertion failed: visit_dist.len() > 0");

    const std::uint32_t action = policies.size() < config.sample_moves
                                     ? sample_action(dist, total, random.uniform_float())
                                     : greedy_action(dist);
    game.apply_legal(action);
    std::optional<Node> next = root.take_child(action);
    if (!next) fatal("Child should have corresponding action");
    root = std::move(*next);
  }
  host.put_training_record(
      TrainingRecord{game.take_history(), std::move(policies), game.get_payoff()});
  return 0;
}

}  // namespace tessarin

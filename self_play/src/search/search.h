// Monte Carlo tree search of one position, guided by a network through an evaluator.
//
// Selection (pUCT) at a node visited N times, once per visit:
//   C = ln(((c_base + N) + 1) / c_base) + c_init,   E = sqrt(N) * C,
//   score(child) = (E / (n + 1)) * P + Q,
// with n, P and Q the child's visits, prior and mean value. The child with the greatest score is
// taken, the last of equal scores in enumeration order; a NaN score is never taken.
//
// Perspective: every child accumulates the value of the player who chose the action leading to
// it, i.e. its parent's player to move. Q is then the chooser's own mean value whether or not
// the action completed a piece and passed the turn.
//
// A simulation is split at the evaluation: `descend` walks from the root to a leaf on a copy of
// the game (a terminal leaf is backed up with its payoff at once), and `complete` expands the
// leaf from the network's logits and backs the values up. Between the two the position waits for
// its evaluation, so one thread can hold many searches (one per game) and evaluate the leaves of
// all of them together. PositionSearch runs one search step by step; `search` drives it against
// an evaluator.
//
// With the root search setting "gumbel" (gumbel_root.h), the root's children get no Dirichlet
// noise: sequential halving over Gumbel-top-k sampled children says which child each simulation
// goes through, the rule above chooses below it, and the search leaves a chosen tile and a
// completed-Q policy target beside the visit counts.
//
// Re-entrancy: an evaluation may run anything on the same thread, a whole nested search or game
// included (a host that plays another game from inside `put` or `recv`). So everything a search
// keeps across an evaluation (its path, its game copy) belongs to that search, never to the
// thread; per-thread scratch is used only between evaluations.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <initializer_list>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "evaluation.h"
#include "fatal.h"
#include "game.h"
#include "gumbel_root.h"
#include "node.h"
#include "random_source.h"

namespace tessarin {

// The child of `node` chosen by the pUCT rule, or nullptr when every score is NaN.
inline Node* select_child(Node& node, float c_base, float c_init) {
  const auto visits = static_cast<float>(node.visit_count());
  const float c = std::log(((c_base + visits) + 1.0F) / c_base) + c_init;
  const float e = std::sqrt(visits) * c;
  float best = -std::numeric_limits<float>::infinity();
  Node* chosen = nullptr;
  for (Node& child : node.children()) {
    const float score =
        (e / (static_cast<float>(child.visit_count()) + 1.0F)) * child.prior() + child.mean_value();
    if (score >= best) {
      best = score;
      chosen = &child;
    }
  }
  return chosen;
}

// Mixes one Dirichlet sample into the priors of `root`'s children (at least two of them):
// prior = noise * fraction + prior * (1 - fraction). Throws FatalStop unless alpha > 0.
inline void add_root_noise(Node& root, float alpha, float fraction, RandomSource& random) {
  if (!(alpha > 0.0F)) fatal("Noise should be generated ok: AlphaTooSmall");
  std::vector<float> noise(root.children().size());
  random.dirichlet(alpha, noise);
  const float keep = 1.0F - fraction;
  std::size_t j = 0;
  for (Node& child : root.children()) {
    child.set_prior(noise[j++] * fraction + child.prior() * keep);
  }
}

// Adds one visit worth `values` to the root and to every node on `path`, each child taking the
// value of its parent's player to move. Throws FatalStop when `values` has no entry for it.
inline void back_up(Node& root, const std::vector<Node*>& path, std::span<const float> values) {
  root.add_visit();
  const Node* parent = &root;
  for (Node* child : path) {
    const std::size_t chooser = parent->player();
    if (chooser >= values.size()) {
      fatal("A value vector of " + std::to_string(values.size()) + " entries has none for player " +
            std::to_string(chooser));
    }
    child->add_visit(values[chooser]);
    parent = child;
  }
}
inline void back_up(Node& root, const std::vector<Node*>& path,
                    std::initializer_list<float> values) {
  back_up(root, path, std::span<const float>(values.begin(), values.size()));
}

// One simulation's walk: the game copy it plays on, the children it took, and the leaf.
struct Descent {
  std::optional<Game> game;
  std::vector<Node*> path;
  Node* leaf = nullptr;
};

// How a descent ended.
enum class DescentEnd {
  kLeaf,      // a leaf whose position waits for an evaluation
  kTerminal,  // the game copy is over; its payoff has been backed up
  kNoChoice,  // every selection score at some node was NaN; nothing changed
};

// Walks from `root` (expanded or not) down the tree on a copy of `game`, choosing children by the
// pUCT rule, or first `first` (a child of `root`) when given; with `tables`, the copy takes the
// tables of its turns from there. Throws FatalStop when the game refuses a tile of the tree.
inline DescentEnd descend(Node& root, const Game& game, const Config& config, Descent& descent,
                          TileMoveTableCache* tables = nullptr, Node* first = nullptr) {
  descent.game.emplace(game, Game::WithoutHistory{});
  descent.path.clear();
  Node* node = &root;
  while (node->is_expanded()) {
    Node* child = first != nullptr ? std::exchange(first, nullptr)
                                   : select_child(*node, config.c_base, config.c_init);
    if (child == nullptr) return DescentEnd::kNoChoice;
    descent.game->apply_legal(child->tile(), tables);
    descent.path.push_back(child);
    node = child;
  }
  descent.leaf = node;
  if (!descent.game->is_terminal()) return DescentEnd::kLeaf;
  const std::array<float, 4> payoff = descent.game->get_payoff();
  back_up(root, descent.path, payoff);
  return DescentEnd::kTerminal;
}

// Expands the leaf of `descent` from the network's logits and backs the values up to `root`.
// `values` and `legal` are scratch storage.
inline void complete(Node& root, Descent& descent, std::span<const float> policy_logits,
                     std::span<const float> value_logits, std::vector<float>& values,
                     std::vector<std::size_t>& legal, RandomSource& random) {
  expand_from_network(*descent.leaf, *descent.game, policy_logits, value_logits, values, legal,
                      random);
  back_up(root, descent.path, values);
}

// One search of the position of `game` from `root` (possibly reused, with earlier statistics), run
// step by step: `next` advances until a position needs the network and returns it, `complete`
// takes the network's answer for it. The root is expanded first if it has no children (that
// evaluation is not backed up), noise is mixed into its children's priors (with a Gumbel root:
// Gumbel noise into their sampling instead), then `config.sims_per_move` simulations run. The
// root, the game, the configuration, the random source and `tables` (if given: where the
// simulations' game copies take their tables) must outlive the search.
class PositionSearch {
 public:
  PositionSearch(Node& root, const Game& game, const Config& config, RandomSource& random,
                 TileMoveTableCache* tables = nullptr)
      : PositionSearch(root, game, config, random, tables, config.sims_per_move, true) {}

  // A search of `simulations` simulations, with root noise (Dirichlet, or Gumbel with a Gumbel
  // root) only if `noise`.
  PositionSearch(Node& root, const Game& game, const Config& config, RandomSource& random,
                 TileMoveTableCache* tables, std::uint64_t simulations, bool noise)
      : root_(&root),
        game_(&game),
        config_(&config),
        random_(&random),
        tables_(tables),
        target_(simulations),
        noise_(noise) {}

  // The position that waits for an evaluation (the same until `complete`), or nullptr when the
  // search is over: finished, or failed (see failure()). Throws FatalStop when the game refuses a
  // tile of the tree, or when noise is due with a concentration not above 0.
  const Game* next() {
    for (;;) {
      switch (stage_) {
        case Stage::kRoot:
          stage_ = Stage::kNoise;
          if (!root_->is_expanded() && !game_->is_terminal()) {
            stage_ = Stage::kRootWaits;
            return game_;
          }
          break;
        case Stage::kRootWaits:
        case Stage::kLeafWaits:
          return stage_ == Stage::kRootWaits ? game_ : &*descent_.game;
        case Stage::kNoise:
          if (gumbel()) {
            gumbel_started();
          } else if (noise_ && root_->children().size() >= 2) {
            add_root_noise(*root_, config_->dirichlet_alpha, config_->exploration_fraction,
                           *random_);
          }
          stage_ = Stage::kSimulations;
          break;
        case Stage::kSimulations:
          if (simulations_ == target_) {
            finish();
            break;
          }
          switch (descend(*root_, *game_, *config_, descent_, tables_, gumbel_child())) {
            case DescentEnd::kLeaf:
              stage_ = Stage::kLeafWaits;
              return &*descent_.game;
            case DescentEnd::kTerminal:
              ++simulations_;
              break;
            case DescentEnd::kNoChoice:
              failure_ = "All UCB scores NaN";
              stage_ = Stage::kOver;
              break;
          }
          break;
        case Stage::kOver:
          return nullptr;
      }
    }
  }

  // True while the root's own position waits (its failure reads "Error evaluating root node").
  bool root_waits() const { return stage_ == Stage::kRootWaits; }

  // The network's answer for the position next() returned. Throws FatalStop when nothing waits,
  // for a legal tile without a logit, or fewer values than the index of the player to move.
  void complete(std::span<const float> policy_logits, std::span<const float> value_logits) {
    if (stage_ == Stage::kRootWaits) {
      expand_from_network(*root_, *game_, policy_logits, value_logits, values_, legal_, *random_);
      stage_ = Stage::kNoise;
    } else if (stage_ == Stage::kLeafWaits) {
      tessarin::complete(*root_, descent_, policy_logits, value_logits, values_, legal_, *random_);
      ++simulations_;
      stage_ = Stage::kSimulations;
    } else {
      fatal("An evaluation was answered while none was waiting");
    }
  }

  // The failure message once next() returned nullptr after a failure; nullopt otherwise.
  const std::optional<std::string>& failure() const { return failure_; }

  // Once a Gumbel root search is over without failure and its root has children: the tile it
  // chose, and its completed-Q policy target, one share per root child in enumeration order.
  // nullopt and empty otherwise (pUCT, or a root left without children).
  std::optional<std::uint32_t> chosen_tile() const { return chosen_tile_; }
  std::span<const float> policy_target() const { return policy_target_; }

 private:
  enum class Stage { kRoot, kRootWaits, kNoise, kSimulations, kLeafWaits, kOver };

  bool gumbel() const { return config_->root_search == RootSearch::kGumbel; }

  // Whether the Gumbel root is under way; starts it over the simulations left when the root has
  // children (a root that the network left without any may get them from a later simulation).
  bool gumbel_started() {
    if (!gumbel_started_ && gumbel() && root_->is_expanded()) {
      gumbel_.start(*root_, *config_, target_ - simulations_, noise_, *random_);
      gumbel_started_ = true;
    }
    return gumbel_started_;
  }

  // The root child the next simulation must take, or nullptr where the pUCT rule chooses.
  Node* gumbel_child() {
    if (!gumbel_started()) return nullptr;
    return &root_->children()[gumbel_.next_child(*root_)];
  }

  // Ends the simulations; a Gumbel root leaves its choice and its target, or fails when the
  // target is not a distribution (NaN values or priors).
  void finish() {
    stage_ = Stage::kOver;
    if (!gumbel_started()) return;
    completed_q_policy(*root_, root_->network_value(), config_->gumbel_c_visit,
                       config_->gumbel_c_scale, policy_target_);
    for (const float share : policy_target_) {
      if (!std::isfinite(share)) {
        failure_ = "The completed-Q policy of the root is not finite";
        policy_target_.clear();
        return;
      }
    }
    chosen_tile_ = root_->children()[gumbel_.chosen(*root_)].tile();
  }

  Node* root_;
  const Game* game_;
  const Config* config_;
  RandomSource* random_;
  TileMoveTableCache* tables_;
  std::uint64_t target_;  // simulations to run
  bool noise_;
  Stage stage_ = Stage::kRoot;
  std::uint64_t simulations_ = 0;
  Descent descent_;
  std::vector<std::size_t> legal_;
  std::vector<float> values_;
  std::optional<std::string> failure_;
  GumbelRoot gumbel_;  // with a Gumbel root
  bool gumbel_started_ = false;
  std::optional<std::uint32_t> chosen_tile_;
  std::vector<float> policy_target_;
};

// Searches the position of `game` from `root` to the end against `evaluator`. Returns nullopt on
// success or the failure message; a failed search leaves the game untouched. Throws FatalStop as
// PositionSearch does.
template <Evaluator E>
std::optional<std::string> search(E& evaluator, Node& root, const Game& game, const Config& config,
                                  RandomSource& random) {
  TileMoveTableCache tables;
  PositionSearch search(root, game, config, random, &tables);
  Logits logits;  // the evaluator may run a search of its own on this thread
  while (const Game* position = search.next()) {
    if (std::optional<typename E::Error> error = evaluator.evaluate(*position, logits)) {
      return search.root_waits() ? "Error evaluating root node: " + error->text() : error->text();
    }
    search.complete(logits.policy, logits.value);
  }
  return search.failure();
}

}  // namespace tessarin

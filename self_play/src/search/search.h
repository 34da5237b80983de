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
// The evaluator has `evaluate(node, game)` returning an Evaluation whose error has `text()`.
//
// Re-entrancy: an evaluation may run anything on the same thread, a whole nested search or game
// included (a host that plays another game from inside `put` or `recv`). So everything a search
// keeps across an evaluation (its path, its game copy) belongs to that search call, never to the
// thread; per-thread scratch is used only between evaluations.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "evaluation.h"
#include "fatal.h"
#include "game.h"
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
inline void back_up(Node& root, const std::vector<Node*>& path, const std::vector<float>& values) {
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

// Searches the position of `game` from `root` (possibly reused, with earlier statistics): expands
// the root if it has no children, mixes noise into its children's priors, then runs
// `config.sims_per_move` simulations. Returns nullopt on success or the failure message; a
// failed search leaves the game untouched. Throws FatalStop when the game refuses a tile of the
// tree (the evaluator expanded a node with a tile that was not legal there).
template <class Evaluator>
std::optional<std::string> search(Evaluator& evaluator, Node& root, const Game& game,
                                  const Config& config, RandomSource& random) {
  if (!root.is_expanded()) {
    auto evaluation = evaluator.evaluate(root, game);
    if (!evaluation.ok()) return "Error evaluating root node: " + evaluation.error().text();
  }
  if (root.children().size() >= 2) {
    add_root_noise(root, config.dirichlet_alpha, config.exploration_fraction, random);
  }
  std::vector<Node*> path;  // the evaluator may run a search of its own on this thread
  for (std::uint64_t simulation = 0; simulation < config.sims_per_move; ++simulation) {
    Game copy(game, Game::WithoutHistory{});
    path.clear();
    Node* node = &root;
    while (node->is_expanded()) {
      Node* child = select_child(*node, config.c_base, config.c_init);
      if (child == nullptr) return std::string("All UCB scores NaN");
      copy.apply_legal(child->tile());
      path.push_back(child);
      node = child;
    }
    auto evaluation = evaluator.evaluate(*node, copy);
    if (!evaluation.ok()) return evaluation.error().text();
    back_up(root, path, evaluation.values());
  }
  return std::nullopt;
}

}  // namespace tessarin

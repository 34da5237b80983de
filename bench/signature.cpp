// The signature: a fixed-seed run of the engine and of the search that prints counts. Any change
// of behaviour (move generation, turn order, selection, noise, tie-breaks, the random sequence)
// changes a count, so CI compares the output with bench/signature.txt and a change shows in one
// line. After a deliberate change of behaviour, regenerate the file with this program.
//
//   engine: seeded random games on sides 5, 7, 14 and 20: positions seen, placements listed at
//           the start of turns, legal tiles summed over positions, pieces completed, and the
//           payoffs of every game folded into one number.
//   search: seeded training games with uniform priors on side 7 at 40 simulations per action:
//           actions played, evaluations, children created, and the history folded into one
//           number; then searches of fixed positions: visits of the root's children weighted by
//           their tiles.
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "game.h"
#include "node.h"
#include "random_source.h"
#include "search.h"
#include "tile_moves.h"
#include "training_game.h"
#include "uniform_evaluator.h"

namespace {

// FNV-1a over 64-bit values.
struct Fold {
  std::uint64_t value = 0xCBF29CE484222325ULL;
  void add(std::uint64_t x) {
    for (int i = 0; i < 8; ++i) {
      value ^= (x >> (8 * i)) & 0xFF;
      value *= 0x100000001B3ULL;
    }
  }
};

void engine_signature() {
  std::uint64_t games = 0, positions = 0, placements = 0, legal_sum = 0, pieces = 0;
  Fold payoffs;
  std::vector<std::size_t> legal;
  for (std::size_t dim : {5, 7, 14, 20}) {
    for (std::uint64_t seed = 1; seed <= 10; ++seed) {
      std::mt19937_64 rng(seed * 1000 + dim);
      tessarin::Game game = tessarin::Game::reset(dim);
      for (;;) {
        ++positions;
        game.legal_tiles(legal);
        legal_sum += legal.size();
        if (game.tile_moves().played_count() == 0 && !legal.empty()) {
          placements += tessarin::build_tile_move_table(game.board(), game.current_player())
                            ->records()
                            .size();
        }
        if (game.is_terminal()) break;
        const std::size_t player = game.current_player();
        const std::size_t held = game.board().pieces(player).size();
        game.apply_legal(
            legal[std::uniform_int_distribution<std::size_t>(0, legal.size() - 1)(rng)]);
        if (game.board().pieces(player).size() != held) ++pieces;
      }
      for (float p : game.get_payoff())
        payoffs.add(static_cast<std::uint64_t>(p * 1e6F));
      ++games;
    }
  }
  std::printf(
      "engine: games %llu positions %llu placements %llu legal %llu pieces %llu payoffs %016llx\n",
      static_cast<unsigned long long>(games), static_cast<unsigned long long>(positions),
      static_cast<unsigned long long>(placements), static_cast<unsigned long long>(legal_sum),
      static_cast<unsigned long long>(pieces), static_cast<unsigned long long>(payoffs.value));
}

// Uniform priors; counts what the search asks for. The training games run on TrainingGame
// directly, so that terminal leaves (backed up by the search without an evaluation) are counted
// with the evaluations, as positions the search reached.
struct CountingHost : tessarin::UniformEvaluator {
  tessarin::Config settings{7, 1, 40, 6, 19652.0F, 1.25F, 0.3F, 0.25F};
  std::uint64_t children = 0;
  std::uint64_t terminal_leaves = 0;
  std::vector<tessarin::TrainingRecord> records;
  std::vector<std::size_t> legal;

  // Uniform priors give every legal tile a child.
  std::optional<Error> evaluate(const tessarin::Game& game, tessarin::Logits& out) {
    game.legal_tiles(legal);
    children += legal.size();
    return UniformEvaluator::evaluate(game, out);
  }

  // Plays one game; false when a search failed.
  bool play() {
    tessarin::TrainingGame game(settings, tessarin::thread_random());
    tessarin::Logits logits;
    std::uint64_t answered = 0;  // simulations that ended at an evaluated leaf
    while (const tessarin::Game* position = game.next()) {
      if (!game.root_waits()) ++answered;
      (void)evaluate(*position, logits);
      game.complete(logits.policy, logits.value);
    }
    if (game.failed()) return false;
    records.push_back(game.take_record());
    terminal_leaves += records.back().history.size() * settings.sims_per_move - answered;
    return true;
  }
};

void search_signature() {
  tessarin::thread_random().seed(20261208);
  CountingHost host;
  for (int game = 0; game < 3; ++game) {
    if (!host.play()) std::printf("search: a training game failed\n");
  }
  std::uint64_t actions = 0;
  Fold history;
  for (const tessarin::TrainingRecord& record : host.records) {
    actions += record.history.size();
    for (const auto& [player, tile] : record.history)
      history.add(static_cast<std::uint64_t>(player) * 4096 + static_cast<std::uint64_t>(tile));
  }

  // Searches of the positions along one seeded random game on side 20.
  std::uint64_t visits = 0;
  std::mt19937_64 rng(77);
  tessarin::Game game = tessarin::Game::reset(20);
  tessarin::UniformEvaluator evaluator;
  tessarin::Config config = host.settings;
  config.dim = 20;
  config.sims_per_move = 60;
  for (int action = 0; action < 40 && !game.is_terminal(); ++action) {
    tessarin::Node root;
    if (tessarin::search(evaluator, root, game, config, tessarin::thread_random())) {
      std::printf("search: a search failed\n");
    }
    for (const tessarin::Node& child : root.children())
      visits += static_cast<std::uint64_t>(child.visit_count()) * (child.tile() + 1);
    const std::vector<std::size_t> legal = game.get_legal_tiles();
    game.apply_legal(legal[std::uniform_int_distribution<std::size_t>(0, legal.size() - 1)(rng)]);
  }
  std::printf(
      "search: games %zu actions %llu evaluations %llu children %llu history %016llx "
      "visits %llu\n",
      host.records.size(), static_cast<unsigned long long>(actions),
      static_cast<unsigned long long>(host.evaluations() + host.terminal_leaves +
                                      evaluator.evaluations()),
      static_cast<unsigned long long>(host.children),
      static_cast<unsigned long long>(history.value), static_cast<unsigned long long>(visits));
}

}  // namespace

int main() {
  engine_signature();
  search_signature();
  return 0;
}

// Benchmark of the tree search on a 20 x 20 board with an evaluator that answers at once (uniform
// priors over the legal tiles, equal values): whole training games at 200 simulations per action,
// so the figure is the search's own cost per simulation (copy, selection, tiles applied,
// expansion, backup), without any network. Each root search is measured in the same run: pUCT
// (the worker module's) and the Gumbel root (16 tiles considered, sequential halving).
//
// Counters: sims_per_second over CPU time; moves per game; allocs_per_sim, the heap allocations
// per simulation (through the global operator new, counted by alloc_counter.cpp), which the
// nodes of each expansion, the records and the per-action search state make: what a simulation
// itself costs in allocations shows as the difference from one per expansion.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "alloc_counter.h"
#include "config.h"
#include "random_source.h"
#include "training_game.h"
#include "uniform_evaluator.h"

namespace {

constexpr std::uint64_t kSimsPerMove = 200;

struct InstantHost : tessarin::UniformEvaluator {
  using Error = tessarin::UniformEvaluator::Error;
  tessarin::Config settings{20, 1, kSimsPerMove, 30, 19652.0F, 1.25F, 0.3F, 0.25F};
  std::uint64_t moves = 0;

  const tessarin::Config& config() const { return settings; }
  void put_training_record(const tessarin::TrainingRecord& record) {
    moves += record.history.size();
  }
};

void TrainingGameSearch(benchmark::State& state, tessarin::RootSearch root_search) {
  tessarin::thread_random().seed(20261208);
  InstantHost host;
  host.settings.root_search = root_search;
  std::uint64_t games = 0;
  const std::size_t allocations_before = bench::allocation_count();
  for (auto _ : state) {
    benchmark::DoNotOptimize(tessarin::training_game(host));
    ++games;
  }
  const std::size_t allocations = bench::allocation_count() - allocations_before;
  const double sims = static_cast<double>(host.moves * kSimsPerMove);
  state.counters["sims_per_second"] = benchmark::Counter(sims, benchmark::Counter::kIsRate);
  state.counters["moves_per_game"] = static_cast<double>(host.moves) / static_cast<double>(games);
  state.counters["allocs_per_sim"] = static_cast<double>(allocations) / sims;
}
BENCHMARK_CAPTURE(TrainingGameSearch, puct, tessarin::RootSearch::kPuct)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK_CAPTURE(TrainingGameSearch, gumbel, tessarin::RootSearch::kGumbel)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();

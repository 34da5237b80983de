// Batched self-play on a 20 x 20 board at 200 simulations per action with an evaluator that
// answers at once, beside the per-game driver in the same run: the C++ side of a batch alone
// (positions written as float32 planes, answers read from logit rows, search, expansion, backup),
// with no network.
//
// Counters: sims_per_second over CPU time (the programs are single-threaded, so this is per
// core); moves per game.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <span>
#include <vector>

#include "random_source.h"
#include "self_play_batch.h"
#include "training_game.h"
#include "uniform_evaluator.h"

namespace {

constexpr std::uint64_t kSimsPerMove = 200;
const tessarin::Config kConfig{20, 1, kSimsPerMove, 30, 19652.0F, 1.25F, 0.3F, 0.25F};

void report(benchmark::State& state, std::uint64_t moves, std::uint64_t games) {
  const double sims = static_cast<double>(moves * kSimsPerMove);
  state.counters["sims_per_second"] = benchmark::Counter(sims, benchmark::Counter::kIsRate);
  state.counters["moves_per_game"] = static_cast<double>(moves) / static_cast<double>(games);
}

// Slots x games in all, each game played to its end.
void BatchedSelfPlay(benchmark::State& state) {
  const auto slots = static_cast<std::size_t>(state.range(0));
  const auto total = static_cast<std::uint64_t>(state.range(1));
  std::uint64_t moves = 0;
  std::uint64_t games = 0;
  std::uint64_t seed = 20261208;
  std::vector<float> positions;
  std::vector<float> policy;
  std::vector<float> value;
  for (auto _ : state) {
    tessarin::SelfPlayBatch batch(kConfig, slots, total, seed++);
    for (;;) {
      const std::size_t waiting = batch.step().size();
      for (const tessarin::FinishedGame& finished : batch.take_finished()) {
        moves += finished.record.history.size();
        ++games;
      }
      if (waiting == 0) break;
      positions.resize(waiting * batch.position_size());
      batch.write_positions(std::span<float>(positions));
      policy.assign(waiting * 400, 0.0F);
      value.assign(waiting * 4, 0.0F);
      batch.complete(policy, value);
    }
    benchmark::DoNotOptimize(positions.data());
  }
  report(state, moves, games);
}
BENCHMARK(BatchedSelfPlay)
    ->Args({1, 1})
    ->Args({8, 8})
    ->Args({64, 64})
    ->Args({256, 256})
    ->Unit(benchmark::kMillisecond);

// The per-game driver with the same evaluator (no planes written): the baseline.
struct InstantHost : tessarin::UniformEvaluator {
  using Error = tessarin::UniformEvaluator::Error;
  std::uint64_t moves = 0;
  const tessarin::Config& config() const { return kConfig; }
  void put_training_record(const tessarin::TrainingRecord& record) {
    moves += record.history.size();
  }
};

void PerGameDriver(benchmark::State& state) {
  InstantHost host;
  std::uint64_t games = 0;
  std::uint64_t seed = 20261208;
  for (auto _ : state) {
    tessarin::RandomSource random(seed++);
    benchmark::DoNotOptimize(tessarin::training_game(host, random));
    ++games;
  }
  report(state, host.moves, games);
}
BENCHMARK(PerGameDriver)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

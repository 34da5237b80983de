// Peak resident memory of batched self-play: N games (256 by default) side by side on a 20 x 20
// board at 200 simulations per action, answered at once with uniform logits, each played to its
// end (or for at most --moves actions). Prints the peak resident set size before the batch and at
// the end (getrusage: the process's high-water mark), their difference, and simulations/s.
//
//   batch_memory [games] [moves]
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "self_play_batch.h"

namespace {

long peak_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t games = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
  const std::uint64_t max_moves = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 0;
  const tessarin::Config config{20, 1, 200, 30, 19652.0F, 1.25F, 0.3F, 0.25F};
  const long before = peak_rss_kib();
  const auto start = std::chrono::steady_clock::now();
  const std::clock_t cpu_start = std::clock();
  tessarin::SelfPlayBatch batch(config, games, games, 20261208);
  std::vector<float> positions;
  std::vector<float> policy;
  std::vector<float> value;
  std::uint64_t evaluations = 0;
  std::uint64_t steps = 0;
  for (;;) {
    const std::size_t waiting = batch.step().size();
    (void)batch.take_finished();
    if (waiting == 0) break;
    if (max_moves != 0 && steps >= max_moves * (config.sims_per_move + 1)) break;
    positions.resize(waiting * batch.position_size());
    batch.write_positions(std::span<float>(positions));
    policy.assign(waiting * 400, 0.0F);
    value.assign(waiting * 4, 0.0F);
    batch.complete(policy, value);
    evaluations += waiting;
    ++steps;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
  const long after = peak_rss_kib();
  std::printf(
      "games %zu steps %llu evaluations %llu wall %.1f s cpu %.1f s evaluations/s (cpu) %.0f\n",
      games, static_cast<unsigned long long>(steps), static_cast<unsigned long long>(evaluations),
      seconds, cpu, static_cast<double>(evaluations) / cpu);
  std::printf("peak rss before %ld MiB after %ld MiB growth %ld MiB\n", before / 1024, after / 1024,
              (after - before) / 1024);
  return 0;
}

// Benchmarks of the game engine against the straightforward implementation, on a 20 x 20 board:
//
//   RandomGame/*   Game::reset, then a uniformly random legal tile until the game is over. One
//                  iteration plays a fixed batch of seeded games; both versions play the very same
//                  games (the i-th legal tile in ascending order is chosen).
//   TileMoves/*    get_tile_moves for the player to move, over a fixed set of positions taken at
//                  the start of turns along seeded random games.
//   GameCopy/*     copying (and discarding) a game in the middle of a game, partly mid-turn: the
//                  engine's copy, the engine's copy without history (what a search simulation
//                  uses) and the straightforward deep copy.
//
// Time per operation is the counter per_game / per_call / per_copy (seconds); the time column is
// per batch. The per-operation and rate counters are taken over CPU time, which a busy machine
// disturbs less than wall time. allocs_per_* counts heap allocations through the global operator
// new. A copy is timed together with its destruction, as a search simulation discards it.
//
// Before the benchmarks run, a self-check plays a few seeded random games on both versions in lock
// step and stops the program if they ever disagree (legal tiles, the placements of every legal
// tile at the start of a turn, the player to move, the end of the game, the payoffs).
// Flags of this program, besides Google Benchmark's:
//   --check_games=N   games of the self-check (default 3, 0 skips it)
//   --check_only      run the self-check and exit
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "alloc_counter.h"
#include "game.h"
#include "straightforward_engine.h"
#include "tile_moves.h"

namespace {

constexpr std::size_t kDim = 20;

// The games one RandomGame iteration plays.
constexpr std::array<std::uint64_t, 8> kGameSeeds = {11, 23, 37, 41, 53, 67, 79, 83};
constexpr std::uint64_t kPositionSeedBase = 0x706F73;  // games the sampled positions come from
constexpr std::uint64_t kCheckSeedBase = 0xC4EC;       // games of the self-check
constexpr std::size_t kTurnStartPositions = 200;
constexpr std::size_t kMidGamePositions = 64;

std::size_t pick(std::mt19937_64& rng, std::size_t n) {
  return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
}

[[noreturn]] void fail(std::uint64_t seed, std::size_t action, const std::string& what) {
  std::fprintf(stderr, "engine and straightforward version disagree (seed %llu, action %zu): %s\n",
               static_cast<unsigned long long>(seed), action, what.c_str());
  std::abort();
}

// Plays the seeded random game on both versions in lock step, choosing the same tile (the i-th of
// the ascending legal tiles) on both, and stops the program at the first disagreement. Calls
// visit(engine, baseline, action_index) before every action. With `compare_placements`, the set
// of every legal tile is compared at the start of each turn. Returns the number of actions.
template <class Visit>
std::size_t play_in_lock_step(std::uint64_t seed, bool compare_placements, Visit&& visit) {
  std::mt19937_64 rng(seed);
  tessarin::Game engine = tessarin::Game::reset(kDim);
  straightforward::Game baseline = straightforward::Game::make(kDim);
  std::vector<std::size_t> engine_tiles;
  std::size_t action = 0;
  for (;; ++action) {
    if (engine.is_terminal() != baseline.is_terminal()) fail(seed, action, "end of game");
    if (engine.current_player() != baseline.current_player) fail(seed, action, "player to move");
    engine.legal_tiles(engine_tiles);
    std::vector<std::size_t> baseline_tiles = baseline.get_legal_tiles();
    std::sort(baseline_tiles.begin(), baseline_tiles.end());
    if (engine_tiles != baseline_tiles) fail(seed, action, "legal tiles");
    if (engine.is_terminal()) break;
    if (engine_tiles.empty()) fail(seed, action, "no legal tile in a game in progress");

    if (compare_placements && engine.tile_moves().played_count() == 0) {
      for (std::size_t tile : engine_tiles) {
        const std::vector<tessarin::Placement> mine = engine.tile_moves().placements(tile);
        const std::vector<straightforward::Placement> theirs = baseline.placements(tile);
        const bool same =
            std::equal(mine.begin(), mine.end(), theirs.begin(), theirs.end(),
                       [](const tessarin::Placement& a, const straightforward::Placement& b) {
                         return a.piece_index == b.piece_index &&
                                a.variant_index == b.variant_index && a.anchor == b.anchor;
                       });
        if (!same) fail(seed, action, "placements of tile " + std::to_string(tile));
      }
    }

    visit(engine, baseline, action);
    const std::size_t tile = engine_tiles[pick(rng, engine_tiles.size())];
    const std::optional<std::string> engine_error = engine.apply(tile);
    const std::optional<std::string> baseline_error = baseline.apply(tile);
    if (engine_error || baseline_error) {
      fail(seed, action,
           "a legal tile was rejected: " + engine_error.value_or("") + " / " +
               baseline_error.value_or(""));
    }
  }
  if (engine.get_payoff() != baseline.get_payoff()) fail(seed, action, "payoff");
  if (engine.last_piece_sizes() != baseline.last_piece_sizes) {
    fail(seed, action, "last piece sizes");
  }
  return action;
}

void self_check(std::size_t games) {
  std::size_t actions = 0;
  for (std::size_t i = 0; i < games; ++i) {
    actions += play_in_lock_step(kCheckSeedBase + i, /*compare_placements=*/true,
                                 [](const auto&, const auto&, std::size_t) {});
  }
  std::fprintf(stderr, "self-check: %zu random games (%zu tiles) agree on both versions\n", games,
               actions);
}

// The same positions on both versions.
struct Positions {
  std::vector<tessarin::Game> engine;
  std::vector<straightforward::Game> baseline;
};

// Positions at the start of every other turn of seeded random games.
const Positions& turn_start_positions() {
  static const Positions positions = [] {
    Positions result;
    for (std::uint64_t seed = kPositionSeedBase; result.engine.size() < kTurnStartPositions;
         ++seed) {
      std::size_t turn = 0;
      play_in_lock_step(
          seed, /*compare_placements=*/false,
          [&](const tessarin::Game& engine, const straightforward::Game& baseline, std::size_t) {
            if (engine.tile_moves().played_count() != 0) return;
            if (turn++ % 2 != 0 || result.engine.size() >= kTurnStartPositions) {
              return;
            }
            result.engine.push_back(engine);
            result.baseline.push_back(baseline);
          });
    }
    return result;
  }();
  return positions;
}

// Positions every 9th action between actions 60 and 200 of seeded random games: mid-game, some at
// the start of a turn and most in the middle of one.
const Positions& mid_game_positions() {
  static const Positions positions = [] {
    Positions result;
    for (std::uint64_t seed = kPositionSeedBase; result.engine.size() < kMidGamePositions; ++seed) {
      play_in_lock_step(seed, /*compare_placements=*/false,
                        [&](const tessarin::Game& engine, const straightforward::Game& baseline,
                            std::size_t action) {
                          if (action < 60 || action >= 200 || action % 9 != 4) return;
                          if (result.engine.size() >= kMidGamePositions) return;
                          result.engine.push_back(engine);
                          result.baseline.push_back(baseline);
                        });
    }
    return result;
  }();
  return positions;
}

// Per-operation counters: `name` in seconds per operation, `rate_name` in operations per second,
// `alloc_name` in heap allocations per operation.
void report(benchmark::State& state, std::size_t operations, std::size_t allocations,
            const char* name, const char* rate_name, const char* alloc_name) {
  const auto ops = static_cast<double>(operations);
  state.counters[name] =
      benchmark::Counter(ops, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters[rate_name] = benchmark::Counter(ops, benchmark::Counter::kIsRate);
  state.counters[alloc_name] = ops > 0 ? static_cast<double>(allocations) / ops : 0.0;
}

// --- RandomGame -----------------------------------------------------------------------------

void random_game_engine(benchmark::State& state) {
  std::vector<std::size_t> legal;
  legal.reserve(kDim * kDim);
  std::size_t games = 0;
  std::size_t tiles = 0;
  const std::size_t allocations_before = bench::allocation_count();
  for (auto _ : state) {
    for (std::uint64_t seed : kGameSeeds) {
      std::mt19937_64 rng(seed);
      tessarin::Game game = tessarin::Game::reset(kDim);
      while (!game.is_terminal()) {
        game.legal_tiles(legal);
        std::optional<std::string> error = game.apply(legal[pick(rng, legal.size())]);
        benchmark::DoNotOptimize(error);
        ++tiles;
      }
      benchmark::DoNotOptimize(game);
      ++games;
    }
  }
  report(state, games, bench::allocation_count() - allocations_before, "per_game", "games_per_s",
         "allocs_per_game");
  state.counters["tiles_per_game"] = static_cast<double>(tiles) / static_cast<double>(games);
}

void random_game_straightforward(benchmark::State& state) {
  std::size_t games = 0;
  std::size_t tiles = 0;
  const std::size_t allocations_before = bench::allocation_count();
  for (auto _ : state) {
    for (std::uint64_t seed : kGameSeeds) {
      std::mt19937_64 rng(seed);
      straightforward::Game game = straightforward::Game::make(kDim);
      while (!game.is_terminal()) {
        std::vector<std::size_t> legal = game.get_legal_tiles();
        // Sorted so that both versions play the very same games.
        std::sort(legal.begin(), legal.end());
        std::optional<std::string> error = game.apply(legal[pick(rng, legal.size())]);
        benchmark::DoNotOptimize(error);
        ++tiles;
      }
      benchmark::DoNotOptimize(game);
      ++games;
    }
  }
  report(state, games, bench::allocation_count() - allocations_before, "per_game", "games_per_s",
         "allocs_per_game");
  state.counters["tiles_per_game"] = static_cast<double>(tiles) / static_cast<double>(games);
}

// --- TileMoves ------------------------------------------------------------------------------

void tile_moves_engine(benchmark::State& state) {
  const std::vector<tessarin::Game>& positions = turn_start_positions().engine;
  std::size_t calls = 0;
  const std::size_t allocations_before = bench::allocation_count();
  for (auto _ : state) {
    for (const tessarin::Game& game : positions) {
      tessarin::TileMoves moves = tessarin::get_tile_moves(game.board(), game.current_player());
      benchmark::DoNotOptimize(moves);
    }
    calls += positions.size();
  }
  report(state, calls, bench::allocation_count() - allocations_before, "per_call", "calls_per_s",
         "allocs_per_call");
}

void tile_moves_straightforward(benchmark::State& state) {
  const std::vector<straightforward::Game>& positions = turn_start_positions().baseline;
  std::size_t calls = 0;
  const std::size_t allocations_before = bench::allocation_count();
  for (auto _ : state) {
    for (const straightforward::Game& game : positions) {
      straightforward::TileMoveMap moves =
          straightforward::get_tile_moves(game.board, game.current_player);
      benchmark::DoNotOptimize(moves);
    }
    calls += positions.size();
  }
  report(state, calls, bench::allocation_count() - allocations_before, "per_call", "calls_per_s",
         "allocs_per_call");
}

// --- GameCopy -------------------------------------------------------------------------------

template <class GameT, class Copy>
void copy_games(benchmark::State& state, const std::vector<GameT>& positions, Copy&& copy) {
  std::size_t copies = 0;
  const std::size_t allocations_before = bench::allocation_count();
  for (auto _ : state) {
    for (const GameT& game : positions) {
      GameT copied = copy(game);
      benchmark::DoNotOptimize(copied);
      benchmark::ClobberMemory();
    }
    copies += positions.size();
  }
  report(state, copies, bench::allocation_count() - allocations_before, "per_copy", "copies_per_s",
         "allocs_per_copy");
}

void game_copy_engine(benchmark::State& state) {
  copy_games(state, mid_game_positions().engine,
             [](const tessarin::Game& game) { return tessarin::Game(game); });
}

void game_copy_engine_without_history(benchmark::State& state) {
  copy_games(state, mid_game_positions().engine, [](const tessarin::Game& game) {
    return tessarin::Game(game, tessarin::Game::WithoutHistory{});
  });
}

void game_copy_straightforward(benchmark::State& state) {
  copy_games(state, mid_game_positions().baseline,
             [](const straightforward::Game& game) { return straightforward::Game(game); });
}

// Removes this program's own flags from argv (Google Benchmark rejects flags it does not know).
void take_own_flags(int& argc, char** argv, std::size_t& check_games, bool& check_only) {
  constexpr std::string_view kCheckGames = "--check_games=";
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.substr(0, kCheckGames.size()) == kCheckGames) {
      check_games = std::stoul(std::string(arg.substr(kCheckGames.size())));
    } else if (arg == "--check_only") {
      check_only = true;
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  argv[argc] = nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t check_games = 3;
  bool check_only = false;
  take_own_flags(argc, argv, check_games, check_only);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  if (check_games > 0) self_check(check_games);
  if (check_only) return 0;

  benchmark::RegisterBenchmark("RandomGame/engine", random_game_engine)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("RandomGame/straightforward", random_game_straightforward)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("TileMoves/engine", tile_moves_engine)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("TileMoves/straightforward", tile_moves_straightforward)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("GameCopy/engine", game_copy_engine)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("GameCopy/engine_without_history", game_copy_engine_without_history)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("GameCopy/straightforward", game_copy_straightforward)
      ->Unit(benchmark::kMicrosecond);

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

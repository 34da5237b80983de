#include "record_replay.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "board.h"
#include "game.h"
#include "tile_move_cache.h"

namespace tessarin {
namespace {

constexpr std::size_t kNoOwner = kPlayers;

// `a` * `b` + `c`, or the largest size where that does not fit.
std::size_t saturating(std::size_t a, std::size_t b, std::size_t c) {
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  if (b != 0 && a > (kMax - c) / b) return kMax;
  return a * b + c;
}

std::string number(double value) {
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), "%.9g", value);
  return text.data();
}

std::string four(std::span<const float> values) {
  std::string text = "[";
  for (std::size_t i = 0; i < values.size(); ++i)
    text += (i == 0 ? "" : ", ") + number(values[i]);
  return text + "]";
}

RecordFault chunk_fault(std::string problem) {
  return RecordFault{{}, {}, {}, std::move(problem)};
}

// Why `shares` (one per cell) is not a distribution over the cells set in `legal`, if it is not.
std::optional<std::string> policy_problem(std::span<const float> shares,
                                          std::span<const std::uint8_t> legal) {
  double sum = 0.0;
  for (std::size_t cell = 0; cell < shares.size(); ++cell) {
    const float share = shares[cell];
    if (!std::isfinite(share)) {
      return "visit share " + number(share) + " at tile " + std::to_string(cell);
    }
    if (share < 0.0F) {
      return "negative visit share " + number(share) + " at tile " + std::to_string(cell);
    }
    if (share != 0.0F && legal[cell] == 0) {
      return "visit share " + number(share) + " on tile " + std::to_string(cell) +
             ", which is not legal";
    }
    sum += static_cast<double>(share);
  }
  if (!(std::abs(sum - 1.0) <= kShareTolerance)) {
    return "visit shares sum to " + number(sum) + ", not 1";
  }
  return std::nullopt;
}

// Writes the value and ownership targets of a game's samples, from `first_sample` on: its
// payoff and the final owner of every cell (kNoOwner for nobody), each relative to the sample's
// mover.
void write_outcome(const std::array<float, 4>& payoff, std::span<const std::uint8_t> owners,
                   std::span<const std::uint8_t> movers, std::size_t first_sample,
                   std::size_t cells, const ReplaySamples& out) {
  for (std::size_t k = 0; k < movers.size(); ++k) {
    const std::size_t at = first_sample + k;
    const std::size_t mover = movers[k];
    for (std::size_t j = 0; j < kPlayers; ++j)
      out.values[kPlayers * at + j] = payoff[(mover + j) % kPlayers];
    const std::span<std::uint8_t> relative = out.ownership.subspan(at * cells, cells);
    for (std::size_t cell = 0; cell < cells; ++cell) {
      const std::size_t owner = owners[cell];
      relative[cell] = static_cast<std::uint8_t>(
          owner == kNoOwner ? kNoOwner : (owner + kPlayers - mover) % kPlayers);
    }
  }
}

// Replays game `index`, whose actions start at row `first`, writing its samples from `sample` on;
// advances `first` and `sample` past them.
std::optional<RecordFault> replay_game(const RecordChunk& chunk, std::size_t index,
                                       std::size_t& first, const ReplaySamples& out,
                                       std::size_t& sample, TileMoveTableCache& tables,
                                       std::vector<std::uint8_t>& owners,
                                       std::vector<std::uint8_t>& movers) {
  const std::size_t dim = chunk.dim;
  const std::size_t cells = dim * dim;
  const std::size_t plane_bytes = kStatePlanes * cells;
  const std::size_t capacity = out.values.size() / kPlayers;
  const std::size_t first_sample = sample;
  auto fault = [&](std::size_t step, std::string problem) {
    return RecordFault{index, step, first + step, std::move(problem)};
  };
  // The lengths and flags are read again here: bounds are checked again too, as the host's
  // arrays may change while the replay runs without the interpreter lock.
  const std::int32_t stored_length = chunk.game_lengths[index];
  const std::size_t rows = chunk.has_policy.size();
  if (stored_length <= 0 || static_cast<std::size_t>(stored_length) > rows - first) {
    return RecordFault{index, {}, {}, "its length changed during the replay"};
  }
  const auto length = static_cast<std::size_t>(stored_length);
  owners.assign(cells, static_cast<std::uint8_t>(kNoOwner));
  movers.clear();
  Game game = Game::reset(dim);
  for (std::size_t step = 0; step < length; ++step) {
    const std::size_t row = first + step;
    const std::int32_t player = chunk.actions[2 * row];
    const std::int32_t tile = chunk.actions[2 * row + 1];
    if (game.is_terminal()) return fault(step, "the game is already over");
    if (player < 0 || player >= static_cast<std::int32_t>(kPlayers)) {
      return fault(step, "player " + std::to_string(player) + " is not one of 0 to 3");
    }
    if (tile < 0 || static_cast<std::size_t>(tile) >= cells) {
      return fault(step, "tile " + std::to_string(tile) + " is off the " + std::to_string(dim) +
                             " x " + std::to_string(dim) + " board");
    }
    if (static_cast<std::size_t>(player) != game.current_player()) {
      return fault(step, "player " + std::to_string(player) + " is not to move (player " +
                             std::to_string(game.current_player()) + " is)");
    }
    if (chunk.has_policy[row] != 0) {
      if (sample == capacity) return fault(step, "more targets than planned: the flags changed");
      const std::span<std::uint8_t> state = out.states.subspan(sample * plane_bytes, plane_bytes);
      game.write_game_state(false, state);
      // The last plane is set exactly at the legal tiles.
      const std::span<const std::uint8_t> legal = state.subspan((kStatePlanes - 1) * cells);
      if (std::optional<std::string> problem =
              policy_problem(chunk.policy.subspan(row * cells, cells), legal)) {
        return fault(step, "policy target: " + *problem);
      }
      movers.push_back(static_cast<std::uint8_t>(player));
      ++sample;
    }
    if (std::optional<std::string> refused =
            game.apply(static_cast<std::size_t>(tile), std::nullopt, &tables)) {
      return fault(step, *refused);
    }
    owners[static_cast<std::size_t>(tile)] = static_cast<std::uint8_t>(player);
  }
  if (!game.is_terminal()) {
    return RecordFault{
        index, {}, {}, "the game is not over after its " + std::to_string(length) + " actions"};
  }
  const std::array<float, 4> payoff = game.get_payoff();
  const std::span<const float> stored = chunk.payoffs.subspan(kPlayers * index, kPlayers);
  for (std::size_t p = 0; p < kPlayers; ++p) {
    if (!(std::abs(static_cast<double>(stored[p]) - static_cast<double>(payoff[p])) <=
          kPayoffTolerance)) {
      return RecordFault{
          index,
          {},
          {},
          "payoffs " + four(stored) + " are not the final position's " + four(payoff)};
    }
  }
  write_outcome(payoff, owners, movers, first_sample, cells, out);
  first += length;
  return std::nullopt;
}

}  // namespace

std::string RecordFault::text() const {
  std::string where;
  if (game) where = "game " + std::to_string(*game);
  if (action) where += ", action " + std::to_string(*action);
  if (row) where += " (row " + std::to_string(*row) + ")";
  return where.empty() ? problem : where + ": " + problem;
}

std::size_t sample_bytes(std::size_t dim, std::size_t samples) {
  const std::size_t per_sample = saturating(kStatePlanes + 1, dim * dim, kPlayers * sizeof(float));
  return saturating(samples, per_sample, 0);
}

std::variant<ReplayPlan, RecordFault> plan_replay(const RecordChunk& chunk, std::size_t max_bytes) {
  const std::size_t dim = chunk.dim;
  if (dim < 4 || dim > kMaxDim) {
    return chunk_fault("board side " + std::to_string(dim) + " is not one the engine plays (4 to " +
                       std::to_string(kMaxDim) + ")");
  }
  const std::size_t cells = dim * dim;
  const std::size_t actions = chunk.has_policy.size();
  const std::size_t games = chunk.game_lengths.size();
  if (chunk.actions.size() != 2 * actions || chunk.policy.size() / cells != actions ||
      chunk.policy.size() % cells != 0 || chunk.payoffs.size() != kPlayers * games) {
    return chunk_fault("the arrays' sizes disagree: " + std::to_string(actions) + " flags, " +
                       std::to_string(chunk.actions.size()) + " action entries, " +
                       std::to_string(chunk.policy.size()) + " visit shares, " +
                       std::to_string(games) + " games and " +
                       std::to_string(chunk.payoffs.size()) + " payoffs");
  }
  std::size_t total = 0;
  for (std::size_t g = 0; g < games; ++g) {
    const std::int32_t length = chunk.game_lengths[g];
    if (length <= 0) {
      return RecordFault{g, {}, {}, std::to_string(length) + " actions: the game cannot be over"};
    }
    total += static_cast<std::size_t>(length);
    if (total > actions) break;
  }
  if (total != actions) {
    return chunk_fault("the games' lengths do not add up to the " + std::to_string(actions) +
                       " actions");
  }
  ReplayPlan plan;
  for (std::uint8_t flag : chunk.has_policy)
    plan.samples += flag != 0 ? 1 : 0;
  plan.bytes = saturating(kReplayBytesPerCell, cells, sample_bytes(dim, plan.samples));
  // A saturated sum is more than any memory: refused whatever `max_bytes` allows.
  if (plan.bytes > max_bytes || plan.bytes == std::numeric_limits<std::size_t>::max()) {
    return chunk_fault("replaying its " + std::to_string(plan.samples) + " targets on a " +
                       std::to_string(dim) + " x " + std::to_string(dim) + " board needs " +
                       std::to_string(plan.bytes) + " bytes, more than the " +
                       std::to_string(max_bytes) + " allowed");
  }
  return plan;
}

std::optional<RecordFault> replay_records(const RecordChunk& chunk, const ReplaySamples& out) {
  TileMoveTableCache tables;
  std::vector<std::uint8_t> owners;
  std::vector<std::uint8_t> movers;
  std::size_t first = 0;
  std::size_t sample = 0;
  for (std::size_t g = 0; g < chunk.game_lengths.size(); ++g) {
    if (std::optional<RecordFault> fault =
            replay_game(chunk, g, first, out, sample, tables, owners, movers)) {
      return fault;
    }
  }
  if (sample != out.values.size() / kPlayers) {
    return chunk_fault("fewer targets than planned: the flags changed during the replay");
  }
  return std::nullopt;
}

}  // namespace tessarin

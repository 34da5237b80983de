// Training records checked against the rules: every game of a chunk (the arrays of a record file,
// see the host's storage/records.py) is replayed on the engine, and each action with a policy
// target becomes a sample of the training set.
//
// A record is refused, with its game and action named, where
//   - the board side is not one the engine plays, or the arrays' sizes disagree with each other;
//   - a player or tile is out of range, the player is not the one to move, or the tile is not
//   legal;
//   - a policy target is not a distribution over the legal tiles of its position: a share that is
//     not finite, negative, or on a tile that is not legal, or shares that do not sum to 1 within
//     kShareTolerance;
//   - the game is over before its last action, or not over after it;
//   - a stored payoff is not the engine's payoff of the final position (within kPayoffTolerance).
// Sizes are checked before anything is allocated (plan_replay), so a forged side cannot make the
// replay ask for gigabytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

namespace tessarin {

// The arrays of one record chunk, borrowed, row-major.
struct RecordChunk {
  std::size_t dim = 0;
  std::span<const std::int32_t> actions;       // (player, tile) of every action, games in order
  std::span<const std::int32_t> game_lengths;  // actions per game
  std::span<const float> policy;               // dim * dim visit shares per action
  std::span<const std::uint8_t> has_policy;    // per action: nonzero where it has a target
  std::span<const float> payoffs;              // 4 per game, by absolute player
};

// Where the samples of a replay go, one row per action with a policy target, in order.
struct ReplaySamples {
  std::span<std::uint8_t> states;     // kStatePlanes * dim * dim per sample: the network's input
  std::span<float> values;            // 4 per sample: entry j is the payoff of (mover + j) mod 4
  std::span<std::uint8_t> ownership;  // dim * dim per sample: j where player (mover + j) mod 4
                                      // covers the cell when the game is over, 4 where nobody does
};

// What is wrong with a record, and where: the game, and the action within it (its index in the
// game; `row` is its row in the chunk's arrays).
struct RecordFault {
  std::optional<std::size_t> game;
  std::optional<std::size_t> action;
  std::optional<std::size_t> row;
  std::string problem;

  // "game 3, action 17 (row 250): player 2 is not to move (player 1 is)".
  std::string text() const;
};

// Visit shares are visit counts divided by their total, each rounded to float32: summed in double
// they lie within 3 * 2^-24 (about 2e-7) of 1. The tolerance is fifty times that, and still below
// the smallest real fault of a search of up to 100,000 visits (one visit lost or added).
inline constexpr double kShareTolerance = 1e-5;
// Payoffs are 1/k for the k best of 4 players: any other outcome differs by at least 1/12.
inline constexpr double kPayoffTolerance = 1e-6;
// What a replay needs beside its samples, per cell of the board: the game's bitsets (1.5 bytes)
// and the keys of its memo of tile-move tables (2.25 bytes), rounded up.
inline constexpr std::size_t kReplayBytesPerCell = 8;

// The size of a replay, known from the arrays' sizes alone.
struct ReplayPlan {
  std::size_t samples = 0;  // actions with a policy target
  std::size_t bytes = 0;    // the samples' memory and the replay's own
};

// Bytes of the samples a replay of `samples` targets on a dim x dim board writes.
std::size_t sample_bytes(std::size_t dim, std::size_t samples);

// The plan of replaying `chunk`, or the fault of a side outside 4..kMaxDim, of arrays whose sizes
// disagree (actions, lengths, policy rows, flags and payoffs), of a game without actions, or of a
// replay that would need more than `max_bytes`. Reads the game lengths and flags, nothing else.
std::variant<ReplayPlan, RecordFault> plan_replay(const RecordChunk& chunk, std::size_t max_bytes);

// Replays every game of `chunk` and writes its samples; the first fault found, if any (the samples
// are then partly written). Precondition: plan_replay accepted `chunk`, and `out` holds exactly
// the samples of its plan.
std::optional<RecordFault> replay_records(const RecordChunk& chunk, const ReplaySamples& out);

}  // namespace tessarin

// Training records replayed against the rules: random whole games come back as the engine's
// positions, and each kind of forged record is refused with its game and action named.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "board.h"
#include "game.h"
#include "random_source.h"
#include "record_replay.h"

namespace tessarin {
namespace {

// The arrays of a chunk, owned, as the host stores them.
struct Records {
  std::size_t dim = 0;
  std::vector<std::int32_t> actions;
  std::vector<std::int32_t> game_lengths;
  std::vector<float> policy;
  std::vector<std::uint8_t> has_policy;
  std::vector<float> payoffs;

  RecordChunk view() const { return {dim, actions, game_lengths, policy, has_policy, payoffs}; }
  std::size_t cells() const { return dim * dim; }
  float* shares(std::size_t row) { return policy.data() + row * cells(); }
};

// `games` random games; every action but every fifth has a target, its shares spread over the
// legal tiles as a search's visit counts would be.
Records random_games(std::size_t dim, std::size_t games, std::uint64_t seed) {
  RandomSource random(seed);
  Records records;
  records.dim = dim;
  for (std::size_t g = 0; g < games; ++g) {
    Game game = Game::reset(dim);
    std::int32_t length = 0;
    while (!game.is_terminal()) {
      const std::vector<std::size_t> legal = game.get_legal_tiles();
      const std::size_t row = records.has_policy.size();
      records.policy.resize(records.policy.size() + dim * dim, 0.0F);
      const bool target = row % 5 != 4;
      records.has_policy.push_back(target ? 1 : 0);
      if (target) {
        std::vector<std::uint32_t> visits(legal.size());
        std::uint32_t total = 0;
        for (std::uint32_t& count : visits)
          total += count = 1 + static_cast<std::uint32_t>(random.uniform_index(7));
        for (std::size_t i = 0; i < legal.size(); ++i)
          records.shares(row)[legal[i]] = static_cast<float>(visits[i]) / static_cast<float>(total);
      }
      const std::size_t tile = legal[random.uniform_index(legal.size())];
      records.actions.push_back(static_cast<std::int32_t>(game.current_player()));
      records.actions.push_back(static_cast<std::int32_t>(tile));
      game.apply_legal(tile);
      ++length;
    }
    records.game_lengths.push_back(length);
    for (float payoff : game.get_payoff())
      records.payoffs.push_back(payoff);
  }
  return records;
}

struct Replayed {
  std::size_t samples = 0;
  std::vector<std::uint8_t> states;
  std::vector<float> values;
  std::vector<std::uint8_t> ownership;
  std::optional<RecordFault> fault;
};

// Plans and replays `records`: the plan's fault, or the replay's samples and fault.
Replayed replay(const Records& records,
                std::size_t max_bytes = std::numeric_limits<std::size_t>::max()) {
  Replayed result;
  const auto plan = plan_replay(records.view(), max_bytes);
  if (const RecordFault* fault = std::get_if<RecordFault>(&plan)) {
    result.fault = *fault;
    return result;
  }
  result.samples = std::get<ReplayPlan>(plan).samples;
  result.states.resize(result.samples * kStatePlanes * records.cells());
  result.values.resize(result.samples * kPlayers);
  result.ownership.resize(result.samples * records.cells());
  result.fault = replay_records(records.view(), {result.states, result.values, result.ownership});
  return result;
}

// The fault's text, or "accepted".
std::string verdict(const Records& records, std::size_t max_bytes = ~std::size_t{0}) {
  const Replayed result = replay(records, max_bytes);
  return result.fault ? result.fault->text() : "accepted";
}

// The row of game `game`'s action `action`.
std::size_t row_of(const Records& records, std::size_t game, std::size_t action) {
  std::size_t row = action;
  for (std::size_t g = 0; g < game; ++g)
    row += static_cast<std::size_t>(records.game_lengths[g]);
  return row;
}

TEST(RecordReplay, SamplesAreTheEnginesPositionsPayoffsAndFinalOwners) {
  for (std::size_t dim : {5U, 7U, 20U}) {
    const Records records = random_games(dim, 3, 11 + dim);
    const Replayed result = replay(records);
    ASSERT_FALSE(result.fault) << result.fault->text();
    const std::size_t cells = records.cells();
    std::size_t sample = 0;
    std::size_t row = 0;
    for (std::size_t g = 0; g < records.game_lengths.size(); ++g) {
      Game game = Game::reset(dim);
      std::vector<std::size_t> samples_of_game;
      std::vector<std::size_t> movers;
      for (std::int32_t step = 0; step < records.game_lengths[g]; ++step, ++row) {
        if (records.has_policy[row] != 0) {
          const StateTensor state = game.get_game_state(false);
          ASSERT_TRUE(std::equal(state.data.begin(), state.data.end(),
                                 result.states.begin() + sample * kStatePlanes * cells));
          samples_of_game.push_back(sample++);
          movers.push_back(game.current_player());
        }
        game.apply_legal(static_cast<std::size_t>(records.actions[2 * row + 1]));
      }
      for (std::size_t k = 0; k < samples_of_game.size(); ++k) {
        const std::size_t at = samples_of_game[k];
        for (std::size_t j = 0; j < kPlayers; ++j) {
          EXPECT_EQ(result.values[at * kPlayers + j],
                    records.payoffs[g * kPlayers + (movers[k] + j) % kPlayers]);
        }
        for (std::size_t cell = 0; cell < cells; ++cell) {
          const std::size_t owner = game.board().owner(cell);  // 0 empty, p + 1 for player p
          const auto expected = static_cast<std::uint8_t>(
              owner == 0 ? 4 : (owner - 1 + kPlayers - movers[k]) % kPlayers);
          ASSERT_EQ(result.ownership[at * cells + cell], expected) << "cell " << cell;
        }
      }
    }
    EXPECT_EQ(sample, result.samples);
  }
}

TEST(RecordReplay, ForgedActionsAreRefusedWithTheirGameAndAction) {
  const Records sound = random_games(5, 3, 4);
  const std::size_t row = row_of(sound, 1, 6);
  const std::string at = "game 1, action 6 (row " + std::to_string(row) + "): ";
  struct Case {
    std::int32_t player_delta;
    std::int32_t tile;  // -2: unchanged
    std::string expected;
  };
  const std::int32_t played = sound.actions[2 * row + 1];
  const std::int32_t occupied = sound.actions[2 * row_of(sound, 1, 0) + 1];
  for (const Case& forged : std::vector<Case>{
           {1, -2, "is not to move"},
           {0, occupied, "Invalid move"},
           {0, 25, "tile 25 is off the 5 x 5 board"},
           {0, -1, "tile -1 is off the 5 x 5 board"},
           {4, -2, "is not one of 0 to 3"},
       }) {
    Records records = sound;
    records.actions[2 * row] += forged.player_delta;
    records.actions[2 * row + 1] = forged.tile == -2 ? played : forged.tile;
    const std::string text = verdict(records);
    EXPECT_EQ(text.rfind(at, 0), 0U) << text;
    EXPECT_NE(text.find(forged.expected), std::string::npos) << text;
  }
}

TEST(RecordReplay, PolicyTargetsMustBeDistributionsOverTheLegalTiles) {
  const Records sound = random_games(7, 2, 5);
  // The first action of game 1 past its opening with a target and a choice of tiles.
  Game game = Game::reset(7);
  std::size_t action = 0;
  std::size_t row = row_of(sound, 1, 0);
  for (; sound.has_policy[row] == 0 || game.get_legal_tiles().size() < 2 || action < 4;
       ++action, ++row)
    game.apply_legal(static_cast<std::size_t>(sound.actions[2 * row + 1]));
  const std::vector<std::size_t> legal = game.get_legal_tiles();
  std::size_t illegal = 0;
  while (std::find(legal.begin(), legal.end(), illegal) != legal.end())
    ++illegal;
  const std::size_t a = legal[0];
  const std::size_t b = legal[1];

  struct Case {
    std::string name;
    void (*edit)(float* shares, std::size_t a, std::size_t b, std::size_t illegal);
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"mass moved to an illegal tile",
       [](float* s, std::size_t a, std::size_t, std::size_t illegal) {
         s[illegal] = s[a];
         s[a] = 0.0F;
       },
       "on tile " + std::to_string(illegal) + ", which is not legal"},
      {"a negative share balanced by another",
       [](float* s, std::size_t a, std::size_t b, std::size_t) {
         s[a] -= 1.0F;
         s[b] += 1.0F;
       },
       "negative visit share"},
      {"not a number", [](float* s, std::size_t a, std::size_t, std::size_t) { s[a] = NAN; },
       "visit share nan at tile " + std::to_string(a)},
      {"infinite", [](float* s, std::size_t a, std::size_t, std::size_t) { s[a] = INFINITY; },
       "visit share inf at tile " + std::to_string(a)},
      {"scaled by 1e30",
       [](float* s, std::size_t a, std::size_t b, std::size_t) {
         s[a] *= 1e30F;
         s[b] *= 1e30F;
       },
       "not 1"},
      {"a share lost", [](float* s, std::size_t a, std::size_t, std::size_t) { s[a] = 0.0F; },
       "not 1"},
      {"off by twice the tolerance",
       [](float* s, std::size_t a, std::size_t, std::size_t) { s[a] += 2e-5F; }, "not 1"},
  };
  const std::string at = "game 1, action " + std::to_string(action) + " (row " +
                         std::to_string(row) + "): policy target: ";
  for (const Case& forged : cases) {
    Records records = sound;
    forged.edit(records.shares(row), a, b, illegal);
    const std::string text = verdict(records);
    EXPECT_EQ(text.rfind(at, 0), 0U) << forged.name << ": " << text;
    EXPECT_NE(text.find(forged.expected), std::string::npos) << forged.name << ": " << text;
  }

  // Rounding of float32 shares is within the tolerance; a target's flag off hides any row.
  Records rounded = sound;
  rounded.shares(row)[a] += 1e-6F;
  EXPECT_EQ(verdict(rounded), "accepted");
  Records unflagged = sound;
  unflagged.shares(row)[illegal] = 5.0F;
  unflagged.has_policy[row] = 0;
  EXPECT_EQ(verdict(unflagged), "accepted");
}

TEST(RecordReplay, GamesMustEndWhereTheRulesEndThemWithTheirPayoffs) {
  const Records sound = random_games(5, 3, 6);
  const auto last_game = static_cast<std::size_t>(2);

  Records payoff = sound;
  payoff.payoffs[kPlayers * 1 + 0] = 1e6F;
  payoff.payoffs[kPlayers * 1 + 1] = -1e6F;
  EXPECT_EQ(verdict(payoff).rfind("game 1: payoffs [1000000, -1000000, ", 0), 0U)
      << verdict(payoff);

  Records swapped = sound;  // a plausible outcome that is not this game's
  float* game_payoff = swapped.payoffs.data() + kPlayers * 1;
  std::rotate(game_payoff, game_payoff + 1, game_payoff + kPlayers);
  if (std::equal(game_payoff, game_payoff + kPlayers, sound.payoffs.data() + kPlayers)) {
    std::fill(game_payoff, game_payoff + kPlayers, 0.0F);  // a four-way tie rotates into itself
    game_payoff[0] = 1.0F;
  }
  EXPECT_NE(verdict(swapped).find("game 1: payoffs"), std::string::npos);

  // The last action of the last game dropped: the game is not over at its end.
  Records truncated = sound;
  truncated.actions.resize(truncated.actions.size() - 2);
  truncated.policy.resize(truncated.policy.size() - truncated.cells());
  truncated.has_policy.pop_back();
  truncated.game_lengths[last_game] -= 1;
  const std::string not_over = verdict(truncated);
  EXPECT_EQ(not_over.rfind("game 2: the game is not over after its", 0), 0U) << not_over;

  // Game 0's first action of game 1 counted to game 0: game 0 goes on after its end.
  Records overlong = sound;
  overlong.game_lengths[0] += 1;
  overlong.game_lengths[1] -= 1;
  const std::string over = verdict(overlong);
  const std::string at = "game 0, action " + std::to_string(sound.game_lengths[0]);
  EXPECT_EQ(over.rfind(at, 0), 0U) << over;
  EXPECT_NE(over.find("the game is already over"), std::string::npos) << over;
}

TEST(RecordReplay, SizesAndSidesAreCheckedBeforeAnythingIsAllocated) {
  const Records sound = random_games(5, 2, 7);
  const Replayed accepted = replay(sound);
  ASSERT_FALSE(accepted.fault);
  const std::size_t needed = sample_bytes(5, accepted.samples) + kReplayBytesPerCell * 25;

  EXPECT_EQ(verdict(sound, needed), "accepted");
  EXPECT_NE(verdict(sound, needed - 1).find("more than the"), std::string::npos);

  for (std::size_t dim : {std::size_t{3}, kMaxDim + 1, std::size_t{1} << 40}) {
    Records side = sound;
    side.dim = dim;
    EXPECT_NE(verdict(side).find("is not one the engine plays"), std::string::npos) << dim;
  }
  // The side a forged file once declared: its policy rows could not hold a single action.
  Records huge = sound;
  huge.dim = kMaxDim;
  EXPECT_NE(verdict(huge).find("the arrays' sizes disagree"), std::string::npos);
  // With no action at all the arrays agree, and the game is refused before any board is made.
  Records empty_game;
  empty_game.dim = kMaxDim;
  empty_game.game_lengths = {0};
  empty_game.payoffs = {0.25F, 0.25F, 0.25F, 0.25F};
  EXPECT_EQ(verdict(empty_game), "game 0: 0 actions: the game cannot be over");

  Records lengths = sound;
  lengths.game_lengths[1] += 1;
  EXPECT_NE(verdict(lengths).find("do not add up"), std::string::npos);
  lengths.game_lengths[1] = -lengths.game_lengths[1];
  EXPECT_NE(verdict(lengths).find("game 1: -"), std::string::npos);
  Records payoffs = sound;
  payoffs.payoffs.pop_back();
  EXPECT_NE(verdict(payoffs).find("sizes disagree"), std::string::npos);
  Records flags = sound;
  flags.has_policy.pop_back();
  EXPECT_NE(verdict(flags).find("sizes disagree"), std::string::npos);
}

}  // namespace
}  // namespace tessarin

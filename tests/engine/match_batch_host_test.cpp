// Host seats and start positions of the match batch: a game with host seats is the game played
// alone in which those seats play the host's tiles and every other seat plays as in any match
// (network seats with the same search and kept trees); a game may start from a given position,
// which is checked action by action; a refused host tile changes nothing and says why.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "engine_seat.h"
#include "evaluation.h"
#include "fatal.h"
#include "game.h"
#include "heuristic_player.h"
#include "match_batch.h"
#include "node.h"
#include "pieces.h"
#include "random_source.h"
#include "raw_policy.h"
#include "search.h"
#include "search_config.h"
#include "training_game.h"

namespace tessarin {
namespace {

using Floats = std::vector<float>;

constexpr std::uint64_t kDim = 7;
constexpr Player kNet0{PlayerKind::kNetwork, 0};
constexpr Player kNet1{PlayerKind::kNetwork, 1};
constexpr Player kHeuristic{PlayerKind::kHeuristic, 0};
constexpr Player kHost{PlayerKind::kHost, 0};

Config config_with(std::uint64_t sims) {
  return test_search_config(kDim, sims, 0.0F);
}

// A network that is a function of the position it is shown and of its index.
Logits script(std::span<const std::uint8_t> planes, std::size_t network) {
  std::uint64_t h = 0xCBF29CE484222325ULL + network;
  for (std::uint8_t b : planes) {
    h ^= b;
    h *= 0x100000001B3ULL;
  }
  const std::size_t cells = planes.size() / kStatePlanes;
  Logits logits{Floats(cells), Floats(kPlayers)};
  for (std::size_t t = 0; t < cells; ++t)
    logits.policy[t] = static_cast<float>(((h ^ (t * 0x9E3779B97F4A7C15ULL)) >> 45) % 97) / 9.0F;
  for (std::size_t j = 0; j < kPlayers; ++j)
    logits.value[j] = static_cast<float>((h >> (8 * j)) % 50) / 25.0F;
  return logits;
}

Logits script(const Game& game, std::size_t network) {
  std::vector<std::uint8_t> planes(kStatePlanes * game.board().cell_count());
  game.write_game_state(false, planes);
  return script(planes, network);
}

// The host of these tests plays the lowest legal tile: a choice that draws nothing at random.
std::size_t host_tile(const Game& game) {
  return game.get_legal_tiles().front();
}

Game replayed(std::span<const HistoryEntry> history) {
  Game game = Game::reset(kDim);
  for (const auto& [player, tile] : history)
    game.apply_legal(static_cast<std::size_t>(tile));
  return game;
}

// Game `number` of a match played alone from `start`, as the batch's documentation says it is
// played: host seats play host_tile, network seats search (or answer raw) with kept trees.
std::vector<HistoryEntry> play_alone(const Config& config, const std::array<Player, 4>& lineup,
                                     std::uint64_t seed, std::uint64_t number,
                                     std::span<const HistoryEntry> start) {
  RandomSource random(game_seed(seed, number));
  Game game = replayed(start);
  HeuristicPlayer heuristic;
  std::array<Node, 4> roots;
  std::vector<std::size_t> legal;
  while (!game.is_terminal()) {
    const std::size_t entry = (game.current_player() + 4 - number % 4) % 4;
    const Player& player = lineup[entry];
    std::size_t tile = 0;
    if (player.kind == PlayerKind::kHost) {
      tile = host_tile(game);
    } else if (player.kind != PlayerKind::kNetwork) {
      tile = engine_tile(player.kind, game, random, heuristic, legal);
    } else if (config.sims_per_move == 0) {
      const Logits logits = script(game, player.network);
      tile =
          raw_policy_tile(game, logits.policy, logits.value, RawChoice::kBestPrior, random, legal);
    } else {
      PositionSearch search(roots[entry], game, config, random, nullptr, config.sims_per_move,
                            false);
      while (const Game* position = search.next()) {
        const Logits logits = script(*position, player.network);
        search.complete(logits.policy, logits.value);
      }
      VisitDistribution dist;
      for (const Node& child : roots[entry].children())
        dist.emplace_back(child.tile(), child.visit_count());
      tile = greedy_action(dist);
    }
    game.apply_legal(tile);
    for (Node& root : roots) {
      std::optional<Node> child = root.take_child(tile);
      root = child ? std::move(*child) : Node{};
    }
  }
  return game.history();
}

// Plays the batch to its end: the scripted networks answer its rows, the host plays host_tile
// for every game that waits for it. Returns the histories by match number.
std::map<std::uint64_t, std::vector<HistoryEntry>> play(MatchBatch& batch) {
  std::map<std::uint64_t, std::vector<HistoryEntry>> games;
  const std::size_t size = batch.position_size();
  std::vector<std::uint8_t> positions;
  for (;;) {
    const std::span<const std::size_t> slots = batch.step();
    for (MatchResult& result : batch.take_finished())
      games.emplace(result.number, std::move(result.history));
    if (batch.done()) break;
    const std::vector<std::size_t> turns = batch.host_turns();
    if (slots.empty() && turns.empty()) {
      ADD_FAILURE() << "no game waits for the network or for the host";
      break;
    }
    for (const std::size_t slot : turns) {
      const Game game = replayed(batch.history(slot));
      EXPECT_FALSE(game.is_terminal());
      EXPECT_EQ(batch.play_host(slot, host_tile(game)), std::nullopt);
    }
    if (slots.empty()) continue;
    positions.resize(slots.size() * size);
    batch.write_positions(std::span<std::uint8_t>(positions));
    Floats policy;
    Floats value;
    for (std::size_t k = 0; k < slots.size(); ++k) {
      const Logits row = script(std::span(positions).subspan(k * size, size), batch.networks()[k]);
      policy.insert(policy.end(), row.policy.begin(), row.policy.end());
      value.insert(value.end(), row.value.begin(), row.value.end());
    }
    batch.complete(policy, value);
  }
  return games;
}

TEST(MatchBatchHost, AGameWithHostSeatsIsTheGamePlayedAloneWithTheHostsTiles) {
  const std::array<Player, 4> lineup{kNet0, kHost, kHeuristic, kNet1};
  constexpr std::uint64_t kSeed = 12;
  for (std::uint64_t sims : {0u, 6u}) {
    const Config config = config_with(sims);
    MatchBatch batch(config, lineup, 2, 4, kSeed);
    const std::map<std::uint64_t, std::vector<HistoryEntry>> games = play(batch);
    ASSERT_EQ(games.size(), 4u);
    EXPECT_EQ(batch.games_failed(), 0u);
    for (const auto& [number, history] : games) {
      EXPECT_EQ(history, play_alone(config, lineup, kSeed, number, {}))
          << "sims " << sims << " game " << number;
      // The host's entry sits at seat (1 + number) mod 4 and played every tile of that seat.
      const std::int32_t host_seat = static_cast<std::int32_t>((1 + number) % 4);
      Game game = Game::reset(kDim);
      for (const auto& [player, tile] : history) {
        if (player == host_seat) {
          EXPECT_EQ(static_cast<std::size_t>(tile), host_tile(game));
        }
        game.apply_legal(static_cast<std::size_t>(tile));
      }
    }
  }
}

TEST(MatchBatchHost, GamesStartFromTheGivenPositionAndSearchFromIt) {
  const std::array<Player, 4> everyone_searches{kNet0, kNet1, kNet0, kNet1};
  const Config config = config_with(5);
  const std::vector<HistoryEntry> whole = play_alone(config, everyone_searches, 3, 0, {});
  ASSERT_GT(whole.size(), 30u);
  // A start in the middle of a piece and one between pieces.
  for (const std::size_t cut : {std::size_t{13}, std::size_t{24}}) {
    const std::span<const HistoryEntry> start(whole.data(), cut);
    MatchBatch batch(config, everyone_searches, 1, 1, 8, start);
    const std::map<std::uint64_t, std::vector<HistoryEntry>> games = play(batch);
    ASSERT_EQ(games.size(), 1u);
    const std::vector<HistoryEntry>& history = games.at(0);
    ASSERT_GE(history.size(), cut);
    EXPECT_TRUE(std::equal(start.begin(), start.end(), history.begin()));
    // Fresh trees from the start position: the game played alone from there with the seed.
    EXPECT_EQ(history, play_alone(config, everyone_searches, 8, 0, start)) << "cut " << cut;
  }
}

TEST(MatchBatchHost, AStartThatBreaksTheRulesIsRefusedNamingTheAction) {
  const std::array<Player, 4> lineup{kHost, kHeuristic, kHeuristic, kHeuristic};
  const auto refusal = [&](std::vector<HistoryEntry> start) -> std::string {
    try {
      MatchBatch batch(config_with(0), lineup, 1, 1, 1, start);
    } catch (const FatalStop& stop) {
      return stop.what();
    }
    return "accepted";
  };
  EXPECT_EQ(refusal({{0, 0}, {0, 1}}), "accepted");
  EXPECT_EQ(refusal({{0, 0}, {1, 1}}), "start action 1: player 1 is not to move (player 0 is)");
  EXPECT_EQ(refusal({{0, 48}}), "start action 0: Invalid move - Player 0, Tile 48");
  EXPECT_EQ(refusal({{0, 49}}), "start action 0: tile 49 is off the board");
  EXPECT_EQ(refusal({{0, -1}}), "start action 0: tile -1 is off the board");
  EXPECT_EQ(refusal({{-1, 0}}), "start action 0: player -1 is not to move (player 0 is)");
  // A finished game takes no further action.
  MatchBatch heuristics(config_with(0), {kHeuristic, kHeuristic, kHeuristic, kHeuristic}, 1, 1, 4);
  EXPECT_TRUE(heuristics.step().empty());
  std::vector<MatchResult> finished = heuristics.take_finished();
  ASSERT_EQ(finished.size(), 1u);
  std::vector<HistoryEntry> over = finished[0].history;
  over.push_back({0, 0});
  EXPECT_EQ(refusal(over),
            "start action " + std::to_string(over.size() - 1) + ": the game is already over");
}

TEST(MatchBatchHost, ARefusedHostTileChangesNothingAndSaysWhy) {
  MatchBatch batch(config_with(0), {kHost, kHeuristic, kHeuristic, kHeuristic}, 1, 1, 5);
  ASSERT_TRUE(batch.step().empty());
  ASSERT_EQ(batch.host_turns(), std::vector<std::size_t>{0});
  EXPECT_EQ(batch.play_host(0, 48),
            "your first piece must cover your start corner, and no piece "
            "you hold reaches the cell at row 6, column 6 from there");
  EXPECT_EQ(batch.play_host(0, 49), "tile 49 is off the board");
  EXPECT_TRUE(batch.history(0).empty());
  ASSERT_EQ(batch.play_host(0, 0), std::nullopt);
  EXPECT_EQ(batch.play_host(0, 0), "the cell at row 0, column 0 is already covered");
  EXPECT_EQ(batch.play_host(0, 30),
            "the piece you are laying cannot grow onto the cell at row 4, column 2: no piece you "
            "still hold covers it together with the squares laid this turn");
  EXPECT_EQ(batch.history(0), (std::vector<HistoryEntry>{{0, 0}}));
  EXPECT_EQ(batch.host_turns(), std::vector<std::size_t>{0});
}

// The actions of a game of four heuristic players up to the start of player 0's third piece.
std::vector<HistoryEntry> third_piece_of_player0() {
  MatchBatch heuristics(config_with(0), {kHeuristic, kHeuristic, kHeuristic, kHeuristic}, 1, 1, 4);
  heuristics.step();
  const std::vector<MatchResult> finished = heuristics.take_finished();
  const std::vector<HistoryEntry>& history = finished.at(0).history;
  Game game = Game::reset(kDim);
  for (std::size_t i = 0; i < history.size(); ++i) {
    if (game.current_player() == 0 && game.tile_moves().played_count() == 0 &&
        game.board().pieces(0).size() == kPieceKinds - 2) {
      return {history.begin(), history.begin() + static_cast<std::ptrdiff_t>(i)};
    }
    game.apply_legal(static_cast<std::size_t>(history[i].second));
  }
  ADD_FAILURE() << "player 0 laid no third piece";
  return {};
}

TEST(MatchBatchHost, EveryIllegalCellIsRefusedWithTheReasonItsNeighboursGive) {
  const std::vector<HistoryEntry> start = third_piece_of_player0();
  MatchBatch batch(config_with(0), {kHost, kHeuristic, kHeuristic, kHeuristic}, 1, 1, 5, start);
  ASSERT_EQ(batch.host_turns(), std::vector<std::size_t>{0});
  const Game game = replayed(start);
  // Every empty cell that is not legal is refused with the reason its neighbours give.
  const std::vector<std::size_t> legal = game.get_legal_tiles();
  std::size_t edge_refusals = 0;
  std::size_t corner_refusals = 0;
  for (std::size_t tile = 0; tile < kDim * kDim; ++tile) {
    if (game.board().owner(tile) != 0 || std::count(legal.begin(), legal.end(), tile) != 0) {
      continue;
    }
    const std::size_t row = tile / kDim;
    const std::size_t column = tile % kDim;
    bool beside_own = false;
    for (const auto& [dr, dc] : {std::pair{-1, 0}, {1, 0}, {0, -1}, {0, 1}}) {
      const auto r = static_cast<std::ptrdiff_t>(row) + dr;
      const auto c = static_cast<std::ptrdiff_t>(column) + dc;
      if (r < 0 || c < 0 || r >= static_cast<std::ptrdiff_t>(kDim) ||
          c >= static_cast<std::ptrdiff_t>(kDim)) {
        continue;
      }
      beside_own = beside_own || game.board().owner(static_cast<std::size_t>(r) * kDim +
                                                    static_cast<std::size_t>(c)) == 1;
    }
    const std::optional<std::string> reason = batch.play_host(0, tile);
    ASSERT_TRUE(reason.has_value());
    if (beside_own) {
      ++edge_refusals;
      EXPECT_NE(reason->find("shares an edge with one of your squares"), std::string::npos);
    } else {
      ++corner_refusals;
      EXPECT_NE(reason->find("no piece you still hold covers"), std::string::npos) << *reason;
    }
  }
  EXPECT_GT(edge_refusals, 0u);
  EXPECT_GT(corner_refusals, 0u);
  EXPECT_EQ(batch.history(0), game.history());
}

TEST(MatchBatchHost, OnlyAGameWaitingForTheHostTakesAHostTile) {
  MatchBatch batch(config_with(0), {kHeuristic, kHost, kHeuristic, kHeuristic}, 2, 2, 6);
  // Before the first step the heuristic seat 0 is to move in both games: no host turn yet.
  EXPECT_TRUE(batch.host_turns().empty());
  EXPECT_THROW(batch.play_host(0, 0), FatalStop);
  EXPECT_THROW(batch.play_host(2, 0), FatalStop);
  EXPECT_TRUE(batch.step().empty());
  // Game 0 seats the host at seat 1, game 1 at seat 2: both now wait for it.
  EXPECT_EQ(batch.host_turns(), (std::vector<std::size_t>{0, 1}));
  EXPECT_EQ(replayed(batch.history(0)).current_player(), 1u);
  EXPECT_EQ(replayed(batch.history(1)).current_player(), 2u);
  EXPECT_FALSE(batch.done());
  EXPECT_THROW(batch.history(2), FatalStop);
}

}  // namespace
}  // namespace tessarin

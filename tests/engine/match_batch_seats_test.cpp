// Which lineup entry plays which seat in the match batch, read directly off the batch: game k
// seats entry i at seat (i + k) mod 4, so every row the batch hands out belongs to the network of
// the entry seated at the player to move, every host turn to the host entry's seat, and every
// result's payoffs by entry are its payoffs by seat turned back by its rotation.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "board.h"
#include "config.h"
#include "engine_seat.h"
#include "game.h"
#include "match_batch.h"
#include "search_config.h"

namespace tessarin {
namespace {

constexpr std::uint64_t kDim = 6;

Config seats_config(std::uint64_t sims) {
  return test_search_config(kDim, sims, 0.0F);
}

// The player to move in the game of `slot` (the history holds the game's own actions, not the
// positions a search visits).
std::size_t seat_to_move(const MatchBatch& batch, std::size_t slot) {
  Game game = Game::reset(kDim);
  for (const auto& [player, tile] : batch.history(slot))
    game.apply_legal(static_cast<std::size_t>(tile));
  return game.current_player();
}

// Plays every game of `batch` (one slot per game, so slot k plays game k) with uniform answers
// and the host's lowest legal tile. Checks each row's network and each host turn against the
// seat of the entry that should play it; returns the results by game number and counts, per
// entry, the seats it was seen to play.
struct Seen {
  std::map<std::uint64_t, MatchResult> results;
  std::array<std::array<int, 4>, 4> seats_of_entry{};  // [entry][seat]
};

Seen play_checking_seats(MatchBatch& batch, const std::array<Player, 4>& lineup,
                         const std::string& where) {
  Seen seen;
  const std::size_t cells = kDim * kDim;
  for (int rounds = 0; rounds < 100000; ++rounds) {
    for (const std::size_t slot : batch.host_turns()) {
      const std::size_t seat = seat_to_move(batch, slot);
      const std::size_t entry = (seat + 4 - slot % 4) % 4;
      EXPECT_EQ(lineup[entry].kind, PlayerKind::kHost) << where << ": game " << slot;
      ++seen.seats_of_entry[entry][seat];
      Game game = Game::reset(kDim);
      for (const auto& [player, tile] : batch.history(slot))
        game.apply_legal(static_cast<std::size_t>(tile));
      EXPECT_EQ(batch.play_host(slot, game.get_legal_tiles().front()), std::nullopt);
    }
    const std::span<const std::size_t> slots = batch.step();
    for (MatchResult& result : batch.take_finished())
      seen.results.emplace(result.number, std::move(result));
    if (slots.empty()) {
      if (batch.host_turns().empty()) break;
      continue;
    }
    const std::span<const std::size_t> networks = batch.networks();
    EXPECT_EQ(networks.size(), slots.size());
    if (networks.size() != slots.size()) return seen;
    for (std::size_t k = 0; k < slots.size(); ++k) {
      const std::size_t seat = seat_to_move(batch, slots[k]);
      // The entry that sits at `seat` in game `slot`: seat = (entry + slot) mod 4.
      const std::size_t entry = (seat + 4 - slots[k] % 4) % 4;
      EXPECT_EQ(lineup[entry].kind, PlayerKind::kNetwork)
          << where << ": game " << slots[k] << " asked for a row at seat " << seat;
      EXPECT_EQ(networks[k], lineup[entry].network)
          << where << ": game " << slots[k] << ", seat " << seat;
      ++seen.seats_of_entry[entry][seat];
    }
    batch.complete(std::vector<float>(slots.size() * cells, 0.0F),
                   std::vector<float>(slots.size() * kPlayers, 0.0F));
  }
  EXPECT_TRUE(batch.done()) << where;
  return seen;
}

TEST(MatchBatchSeats, EachRowAndHostTurnBelongsToTheEntrySeatedThere) {
  // Network indices unlike the entries' own, an engine player and a host seat: a seat given to
  // the wrong entry asks the wrong network, asks for a row where an engine player sits, or waits
  // for the host where it should not.
  const std::array<Player, 4> lineup{Player{PlayerKind::kNetwork, 2}, Player{PlayerKind::kHost, 0},
                                     Player{PlayerKind::kNetwork, 0},
                                     Player{PlayerKind::kRandom, 0}};
  for (const std::uint64_t sims : {0u, 3u}) {
    const std::string where = "sims " + std::to_string(sims);
    MatchBatch batch(seats_config(sims), lineup, 8, 8, 11);
    const Seen seen = play_checking_seats(batch, lineup, where);
    ASSERT_EQ(seen.results.size(), 8u) << where;
    for (const std::size_t entry : {0u, 1u, 2u}) {
      for (std::size_t seat = 0; seat < 4; ++seat) {
        EXPECT_GT(seen.seats_of_entry[entry][seat], 0)
            << where << ": entry " << entry << " never played seat " << seat;
      }
    }
  }
}

TEST(MatchBatchSeats, ResultsGiveEachEntryThePayoffOfItsSeat) {
  // Four networks: the first action of game k is played by the entry seated at seat 0, entry
  // (4 - k mod 4) mod 4, whose network is the only one that picks the lowest legal tile.
  std::array<Player, 4> lineup{};
  for (std::size_t entry = 0; entry < 4; ++entry)
    lineup[entry] = Player{PlayerKind::kNetwork, 3 - entry};
  MatchBatch batch(seats_config(0), lineup, 8, 8, 5);
  const std::size_t cells = kDim * kDim;
  std::map<std::uint64_t, MatchResult> results;
  for (;;) {
    const std::span<const std::size_t> slots = batch.step();
    for (MatchResult& result : batch.take_finished())
      results.emplace(result.number, std::move(result));
    if (slots.empty()) break;
    std::vector<float> policy(slots.size() * cells, 0.0F);
    const std::span<const std::size_t> networks = batch.networks();
    for (std::size_t k = 0; k < slots.size(); ++k) {
      // Network 3 (entry 0) prefers low cells, every other network high ones.
      for (std::size_t cell = 0; cell < cells; ++cell) {
        const float rank = static_cast<float>(cell) / static_cast<float>(cells);
        policy[k * cells + cell] = networks[k] == 3 ? -rank : rank;
      }
    }
    batch.complete(policy, std::vector<float>(slots.size() * kPlayers, 0.0F));
  }
  ASSERT_EQ(results.size(), 8u);
  const std::vector<std::size_t> opening = Game::reset(kDim).get_legal_tiles();
  for (const auto& [number, result] : results) {
    EXPECT_EQ(result.rotation, number % 4);
    const bool entry0_opens = (4 - number % 4) % 4 == 0;
    ASSERT_FALSE(result.history.empty());
    EXPECT_EQ(static_cast<std::size_t>(result.history.front().second) == opening.front(),
              entry0_opens)
        << "game " << number;
    for (std::size_t entry = 0; entry < 4; ++entry) {
      EXPECT_EQ(result.payoff_by_entry[entry], result.payoff_by_seat[(entry + number) % 4])
          << "game " << number << ", entry " << entry;
    }
  }
}

}  // namespace
}  // namespace tessarin

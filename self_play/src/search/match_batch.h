// Batched matches: many games side by side whose seats are played by networks (by index), by
// engine players, or by a random player. The waiting positions of all network seats are
// evaluated together, grouped by network so that the host runs each network once per step.
//
// Seats rotate: game k (from 0, in the order games start) seats lineup entry i at seat
// (i + k) mod 4, so over a multiple of four games every entry plays every seat equally often.
//
// A network seat plays from one evaluation when sims_per_move is 0 (raw_policy.h: the tile of
// highest prior, as the worker module's test games play), and otherwise from a search of
// sims_per_move simulations (the training game's PositionSearch, root noise only with an
// exploration_fraction above 0) whose most visited tile it plays. For the first sample_moves
// actions of a game (counted over all seats) a network seat draws its tile instead: in proportion
// to the priors without search, to the root's visit shares with search. Without sampling, two
// networks without search would play the same game in every game of a seat.
//
// Tree reuse: every searching lineup entry keeps its own root from one search to the next (the
// values of different networks never mix), and every tile played by any seat moves each kept root
// down to that child, releasing the rest, or to a fresh root where the tree does not hold it.
//
// A game whose search fails or which the answers leave without a tile to play is abandoned: it
// counts as finished and failed, and its reason waits in take_failed().
//
// Host seats (a person at the web page): a game whose seat to move is a host seat waits, without
// a position for the network, until the host plays its tile with play_host(); host_turns() names
// those games. Every game may start from a given position (the actions of `start`), so that a
// host can take actions back by starting again from an earlier position. The network seats of
// such a game play as in any other: raw policy or the search, kept trees moved down by every
// tile, the host's included.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "batch_slots.h"
#include "config.h"
#include "engine_seat.h"
#include "game.h"
#include "node.h"
#include "position_cache.h"

namespace tessarin {

struct Player {
  PlayerKind kind = PlayerKind::kRandom;
  std::size_t network = 0;  // for kNetwork
};

// A finished match: its number, the seat of lineup entry 0 (entry i sat at (i + rotation) mod 4),
// the payoff by seat and by lineup entry, and (player, tile) of every action, in order.
struct MatchResult {
  std::uint64_t number;
  std::size_t rotation;
  std::array<float, 4> payoff_by_seat;
  std::array<float, 4> payoff_by_entry;
  std::vector<HistoryEntry> history;
};

// Why the player to move in `game` may not play `tile`, a cell on the board that is not a legal
// tile, in words for a person: the cell is covered, it shares an edge with the player's own
// squares, the piece being laid cannot grow onto it, or no piece the player holds covers it and
// one of the player's corner cells. Throws FatalStop for a tile off the board.
std::string refusal_reason(const Game& game, std::size_t tile);

class MatchBatch {
 public:
  // `games` slots playing `total_games` games; `config` gives every setting. With a `seed`, game
  // k draws from RandomSource(game_seed(seed, k)); without, from the operating system's entropy.
  // Every game starts from the position after the actions of `start` ((player, tile), in order;
  // its history holds them). Throws FatalStop for no slots or games, a board side the engine
  // refuses, a representation other than 1 or 2, (with simulations) a noise concentration not
  // above 0, or a `start` action whose player is not to move or whose tile is not legal (the
  // message names the action).
  // `cached_positions`: answers each network keeps in a PositionCache of its own (0: none); a
  // network seat whose position its network's memo holds is answered from it and plays on.
  MatchBatch(const Config& config, const std::array<Player, 4>& lineup, std::size_t games,
             std::uint64_t total_games, std::optional<std::uint64_t> seed = std::nullopt,
             std::span<const HistoryEntry> start = {}, std::size_t cached_positions = 0);
  ~MatchBatch();
  MatchBatch(const MatchBatch&) = delete;
  MatchBatch& operator=(const MatchBatch&) = delete;

  // Advances every game that does not wait. Returns the slots that now wait for a network,
  // grouped by network index (ascending), then by slot; empty once every game has finished.
  // Called again before complete(), it returns the same slots.
  std::span<const std::size_t> step();
  // The network index of each waiting row, in step()'s order.
  std::span<const std::size_t> networks() const { return networks_; }

  std::size_t position_size() const { return slots_.position_size(); }
  // As SelfPlayBatch::write_positions.
  void write_positions(std::span<std::uint8_t> out) const { slots_.write_positions(out); }
  void write_positions(std::span<float> out) const { slots_.write_positions(out); }
  // As SelfPlayBatch::complete.
  void complete(std::span<const float> policy_logits, std::span<const float> value_logits);

  // The slots whose game waits for the host: a host seat is to move. Ascending; step() returns
  // no row for them.
  std::vector<std::size_t> host_turns() const;
  // Plays `tile` for the host seat to move in the game of `slot`, and moves every kept root down
  // to it. Returns nullopt, or why the tile is refused (refusal_reason, or "off the board"):
  // nothing changes then. The game goes on at the next step(). Throws FatalStop for a slot that
  // is not among host_turns().
  std::optional<std::string> play_host(std::size_t slot, std::size_t tile);
  // (player, tile) of every action of the game in `slot` so far, the start's included. Throws
  // FatalStop for a slot without a game.
  const std::vector<HistoryEntry>& history(std::size_t slot) const;

  // The games played to their end since the last call, in the order they finished.
  std::vector<MatchResult> take_finished();
  // Why each game abandoned since the last call was abandoned, in order.
  std::vector<std::string> take_failed();

  const Config& config() const { return config_; }
  std::size_t slot_count() const { return slots_.count(); }
  std::size_t waiting() const { return slots_.waiting().size(); }
  std::uint64_t games_finished() const { return finished_; }
  std::uint64_t games_failed() const { return failed_; }
  bool done() const { return finished_ == total_; }
  // Why the last abandoned game was abandoned, if any game was.
  const std::optional<std::string>& last_failure() const { return last_failure_; }
  // Evaluations the networks' memos answered, and those they did not hold (all networks).
  std::uint64_t cache_hits() const;
  std::uint64_t cache_misses() const;

 private:
  struct Match;
  using Slot = std::unique_ptr<Match>;  // null when the slot is idle

  void start_match(Slot& slot);
  // Plays engine seats and searches until a network must answer; returns the position that waits
  // for it, or nullptr when no game is left for the slot.
  const Game* advance(Slot& slot);
  void finish_match(Slot& slot, std::optional<std::string> failure);
  // Answers the network seat to move: its search's evaluation, or its raw choice.
  void answer(Match& match, std::span<const float> policy, std::span<const float> values);
  // Plays `tile` and moves every kept root down to it.
  void play(Match& match, std::size_t tile);
  // The tile of a finished search from `root`: sampled early, most visited later.
  std::uint32_t searched_tile(Match& match, const Node& root);
  // Whether the next action of `match` is drawn rather than the best.
  bool samples(const Match& match) const;
  // The lineup entry that plays the seat to move.
  std::size_t entry_to_move(const Match& match) const;
  // Whether the game in `slot` waits for a tile from the host.
  bool waits_for_host(std::size_t slot) const;
  // The memo of `network`'s answers (made at its first use), or null without memos.
  PositionCache* memo_of(std::size_t network);
  // Answers the network seat to move from its network's memo when the memo holds `position`
  // (the position it waits on); false when it must wait. Keeps the position's key for complete().
  bool answered_from_memo(Match& match, std::size_t network, const Game& position);

  Config config_;
  std::array<Player, 4> lineup_;
  std::uint64_t total_;
  std::optional<std::uint64_t> seed_;
  BatchSlots slots_;
  Game start_;  // the position every game starts from (made after slots_ has checked the side)
  std::vector<Slot> matches_;  // per slot
  std::size_t cached_positions_;
  std::vector<std::unique_ptr<PositionCache>> memos_;  // by network index, made when first used
  std::vector<float> kept_policy_;                     // an answer read from a memo
  std::vector<float> kept_values_;
  std::vector<std::size_t> networks_;
  std::vector<MatchResult> finished_matches_;
  std::vector<std::string> failures_;
  std::uint64_t started_ = 0;
  std::uint64_t finished_ = 0;
  std::uint64_t failed_ = 0;
  std::optional<std::string> last_failure_;
};

}  // namespace tessarin

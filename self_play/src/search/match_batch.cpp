#include "match_batch.h"

#include <algorithm>
#include <string>
#include <utility>

#include "board.h"
#include "evaluation.h"
#include "fatal.h"
#include "heuristic_player.h"
#include "node.h"
#include "pieces.h"
#include "random_source.h"
#include "raw_policy.h"
#include "search.h"
#include "training_game.h"

namespace tessarin {

namespace {

std::string cell_text(const Game& game, std::size_t tile) {
  return "row " + std::to_string(tile / game.dim()) + ", column " +
         std::to_string(tile % game.dim());
}

// The position after `start`, each action checked against the player to move and the rules.
Game start_position(std::size_t dim, std::span<const HistoryEntry> start) {
  Game game = Game::reset(dim);
  for (std::size_t i = 0; i < start.size(); ++i) {
    const auto [player, tile] = start[i];
    const std::string action = "start action " + std::to_string(i) + ": ";
    if (game.is_terminal()) fatal(action + "the game is already over");
    if (player < 0 || static_cast<std::size_t>(player) != game.current_player()) {
      fatal(action + "player " + std::to_string(player) + " is not to move (player " +
            std::to_string(game.current_player()) + " is)");
    }
    if (tile < 0 || static_cast<std::size_t>(tile) >= game.board().cell_count()) {
      fatal(action + "tile " + std::to_string(tile) + " is off the board");
    }
    if (const auto error = game.apply(static_cast<std::size_t>(tile))) fatal(action + *error);
  }
  return game;
}

}  // namespace

std::string refusal_reason(const Game& game, std::size_t tile) {
  const Board& board = game.board();
  if (tile >= board.cell_count()) fatal("Tile " + std::to_string(tile) + " is off the board");
  const std::size_t player = game.current_player();
  const std::string cell = "the cell at " + cell_text(game, tile);
  if (board.owner(tile) != 0) return cell + " is already covered";
  if ((board.cell(tile) & (0x10U << player)) != 0) {
    return cell +
           " shares an edge with one of your squares: your pieces may touch each other "
           "only corner to corner";
  }
  if (game.tile_moves().played_count() != 0) {
    return "the piece you are laying cannot grow onto " + cell +
           ": no piece you still hold covers it together with the squares laid this turn";
  }
  if (board.pieces(player).size() == kPieceKinds) {
    return "your first piece must cover your start corner, and no piece you hold reaches " + cell +
           " from there";
  }
  return "no piece you still hold covers " + cell +
         " and one of your corner cells (the empty cells that touch your squares only at a "
         "corner)";
}

struct MatchBatch::Match {
  Match(const Game& start, std::uint64_t number, std::optional<std::uint64_t> seed)
      : random(seed ? RandomSource(game_seed(*seed, number)) : RandomSource()),
        game(start),
        number(number),
        rotation(static_cast<std::size_t>(number % kPlayers)) {}

  RandomSource random;
  Game game;
  std::uint64_t number;
  std::size_t rotation;
  // Per lineup entry, the root its searches start from (only searching entries grow one).
  std::array<Node, kPlayers> roots;
  // The search of the network seat to move, while one is under way.
  std::optional<PositionSearch> search;
  // The tables of the turns the match and its searches pass, shared by their game copies.
  TileMoveTableCache tables;
  std::vector<std::size_t> legal;
  VisitDistribution dist;
  // Heuristic seats keep the placement they committed to across the tiles of a turn.
  HeuristicPlayer heuristic;
  // The key of the position a network seat waits on, with memos on.
  std::vector<std::uint64_t> key;
};

MatchBatch::MatchBatch(const Config& config, const std::array<Player, 4>& lineup, std::size_t games,
                       std::uint64_t total_games, std::optional<std::uint64_t> seed,
                       std::span<const HistoryEntry> start, std::size_t cached_positions)
    : config_(config),
      lineup_(lineup),
      total_(total_games),
      seed_(seed),
      slots_(config, games, total_games, config.sims_per_move != 0),
      start_(start_position(config.dim, start)),
      cached_positions_(cached_positions),
      kept_policy_(static_cast<std::size_t>(config.dim * config.dim)),
      kept_values_(kPlayers) {
  matches_.resize(slots_.count());
  for (Slot& slot : matches_)
    start_match(slot);
}

MatchBatch::~MatchBatch() = default;

void MatchBatch::start_match(Slot& slot) {
  slot.reset();
  if (started_ == total_) return;
  slot = std::make_unique<Match>(start_, started_++, seed_);
}

std::size_t MatchBatch::entry_to_move(const Match& match) const {
  return (match.game.current_player() + kPlayers - match.rotation) % kPlayers;
}

bool MatchBatch::samples(const Match& match) const {
  return match.game.history().size() < config_.sample_moves;
}

void MatchBatch::play(Match& match, std::size_t tile) {
  match.game.apply_legal(tile, &match.tables);
  if (config_.sims_per_move == 0) return;
  for (Node& root : match.roots) {
    std::optional<Node> child = root.take_child(tile);
    root = child ? std::move(*child) : Node{};
  }
}

std::uint32_t MatchBatch::searched_tile(Match& match, const Node& root) {
  std::uint32_t total = 0;
  match.dist.clear();
  for (const Node& child : root.children()) {
    total += child.visit_count();
    match.dist.emplace_back(child.tile(), child.visit_count());
  }
  if (match.dist.empty()) fatal("A search left the root without a child to play");
  return samples(match) ? sample_action(match.dist, total, match.random.uniform_float())
                        : greedy_action(match.dist);
}

void MatchBatch::finish_match(Slot& slot, std::optional<std::string> failure) {
  ++finished_;
  if (failure) {
    ++failed_;
    failures_.push_back(*failure);
    last_failure_ = std::move(failure);
  } else {
    Match& match = *slot;
    MatchResult result{
        match.number, match.rotation, match.game.get_payoff(), {}, match.game.take_history()};
    for (std::size_t entry = 0; entry < kPlayers; ++entry)
      result.payoff_by_entry[entry] = result.payoff_by_seat[(entry + result.rotation) % kPlayers];
    finished_matches_.push_back(result);
  }
  start_match(slot);
}

const Game* MatchBatch::advance(Slot& slot) {
  while (slot) {
    Match& match = *slot;
    try {
      while (!match.game.is_terminal()) {
        const std::size_t entry = entry_to_move(match);
        const Player& player = lineup_[entry];
        if (player.kind == PlayerKind::kHost) return nullptr;  // waits for play_host
        if (player.kind != PlayerKind::kNetwork) {
          play(match,
               engine_tile(player.kind, match.game, match.random, match.heuristic, match.legal));
          continue;
        }
        const Game* position = &match.game;  // without search, the raw position waits
        if (config_.sims_per_move != 0) {
          if (!match.search) {
            match.search.emplace(match.roots[entry], match.game, config_, match.random,
                                 &match.tables, config_.sims_per_move,
                                 config_.exploration_fraction > 0.0F);
          }
          position = match.search->next();
          if (position == nullptr) {
            if (match.search->failure()) throw FatalStop(*match.search->failure());
            match.search.reset();
            play(match, searched_tile(match, match.roots[entry]));
            continue;
          }
        }
        if (!answered_from_memo(match, player.network, *position)) return position;
      }
    } catch (const FatalStop& stop) {
      finish_match(slot, std::string(stop.what()));
      continue;
    }
    finish_match(slot, std::nullopt);
  }
  return nullptr;
}

std::span<const std::size_t> MatchBatch::step() {
  if (slots_.waiting().empty()) {
    slots_.step([&](std::size_t s) { return advance(matches_[s]); });
    slots_.order_waiting(
        [&](std::size_t s) { return lineup_[entry_to_move(*matches_[s])].network; });
    networks_.clear();
    for (const std::size_t s : slots_.waiting())
      networks_.push_back(lineup_[entry_to_move(*matches_[s])].network);
  }
  return slots_.waiting();
}

void MatchBatch::answer(Match& match, std::span<const float> policy,
                        std::span<const float> values) {
  if (match.search) {
    match.search->complete(policy, values);
    return;
  }
  const RawChoice choice = samples(match) ? RawChoice::kSampled : RawChoice::kBestPrior;
  play(match, raw_policy_tile(match.game, policy, values, choice, match.random, match.legal));
}

void MatchBatch::complete(std::span<const float> policy_logits,
                          std::span<const float> value_logits) {
  slots_.complete(
      policy_logits, value_logits,
      [&](std::size_t s, std::span<const float> policy, std::span<const float> values) {
        Match& match = *matches_[s];
        if (PositionCache* memo = memo_of(lineup_[entry_to_move(match)].network)) {
          memo->insert(match.key, policy, values);
        }
        try {
          answer(match, policy, values);
        } catch (const FatalStop& stop) {
          finish_match(matches_[s], std::string(stop.what()));
        }
      },
      [&](std::size_t s) { return advance(matches_[s]); });
  networks_.clear();
}

PositionCache* MatchBatch::memo_of(std::size_t network) {
  if (cached_positions_ == 0) return nullptr;
  if (memos_.size() <= network) memos_.resize(network + 1);
  if (!memos_[network]) {
    memos_[network] =
        std::make_unique<PositionCache>(cached_positions_, static_cast<std::size_t>(config_.dim));
  }
  return memos_[network].get();
}

bool MatchBatch::answered_from_memo(Match& match, std::size_t network, const Game& position) {
  PositionCache* memo = memo_of(network);
  if (memo == nullptr) return false;
  memo->key_of(position, match.key);
  if (!memo->find(match.key, kept_policy_, kept_values_)) return false;
  answer(match, kept_policy_, kept_values_);
  return true;
}

std::uint64_t MatchBatch::cache_hits() const {
  std::uint64_t hits = 0;
  for (const auto& memo : memos_)
    hits += memo ? memo->hits() : 0;
  return hits;
}

std::uint64_t MatchBatch::cache_misses() const {
  std::uint64_t misses = 0;
  for (const auto& memo : memos_)
    misses += memo ? memo->misses() : 0;
  return misses;
}

bool MatchBatch::waits_for_host(std::size_t slot) const {
  const Match* match = matches_[slot].get();
  return match != nullptr && !match->game.is_terminal() &&
         lineup_[entry_to_move(*match)].kind == PlayerKind::kHost;
}

std::vector<std::size_t> MatchBatch::host_turns() const {
  std::vector<std::size_t> turns;
  for (std::size_t slot = 0; slot < matches_.size(); ++slot) {
    if (waits_for_host(slot)) turns.push_back(slot);
  }
  return turns;
}

std::optional<std::string> MatchBatch::play_host(std::size_t slot, std::size_t tile) {
  if (slot >= matches_.size() || !waits_for_host(slot)) {
    fatal("Slot " + std::to_string(slot) + " does not wait for a tile from the host");
  }
  Match& match = *matches_[slot];
  if (tile >= match.game.board().cell_count()) {
    return "tile " + std::to_string(tile) + " is off the board";
  }
  if (!match.game.tile_moves().contains(tile)) return refusal_reason(match.game, tile);
  play(match, tile);
  return std::nullopt;
}

const std::vector<HistoryEntry>& MatchBatch::history(std::size_t slot) const {
  if (slot >= matches_.size() || !matches_[slot]) {
    fatal("Slot " + std::to_string(slot) + " holds no game");
  }
  return matches_[slot]->game.history();
}

std::vector<MatchResult> MatchBatch::take_finished() {
  return std::exchange(finished_matches_, {});
}

std::vector<std::string> MatchBatch::take_failed() {
  return std::exchange(failures_, {});
}

}  // namespace tessarin

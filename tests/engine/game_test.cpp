// The game: playing tiles one square at a time, completing pieces, passing the turn, the end of
// the game, payoffs and the network input.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "board.h"
#include "fatal.h"
#include "game.h"
#include "tile_moves.h"

namespace tessarin {

// Placements print as (piece index, variant index, anchor) in failure messages.
inline void PrintTo(const Placement& p, std::ostream* out) {
  *out << "(" << p.piece_index << ", " << p.variant_index << ", " << p.anchor << ")";
}

namespace {

using Cells = std::vector<std::size_t>;
using History = std::vector<HistoryEntry>;

// Everything observable about a game, for "nothing changed" checks.
struct Snapshot {
  std::vector<std::uint8_t> cells;
  std::array<Cells, 4> corners;
  std::array<std::uint32_t, 4> kinds;
  History history;
  Cells legal;
  std::map<std::size_t, std::vector<Placement>> sets;
  std::size_t current_player;
  std::size_t played_count;
  std::size_t map_player;
  std::array<std::uint32_t, 4> last_piece_sizes;
  std::array<bool, 4> finished;
};

Snapshot capture(const Game& game) {
  Snapshot s;
  const Board& board = game.board();
  for (std::size_t i = 0; i < board.cell_count(); ++i)
    s.cells.push_back(board.cell(i));
  for (std::size_t p = 0; p < 4; ++p) {
    s.corners[p] = board.corners(p);
    s.kinds[p] = board.pieces(p).kinds();
  }
  s.history = game.history();
  s.legal = game.get_legal_tiles();
  for (std::size_t t : s.legal)
    s.sets[t] = game.tile_moves().placements(t);
  s.current_player = game.current_player();
  s.played_count = game.tile_moves().played_count();
  s.map_player = game.tile_moves().player();
  s.last_piece_sizes = game.last_piece_sizes();
  s.finished = game.finished();
  return s;
}

void expect_unchanged(const Game& game, const Snapshot& before) {
  const Snapshot now = capture(game);
  EXPECT_EQ(now.cells, before.cells);
  EXPECT_EQ(now.corners, before.corners);
  EXPECT_EQ(now.kinds, before.kinds);
  EXPECT_EQ(now.history, before.history);
  EXPECT_EQ(now.legal, before.legal);
  EXPECT_EQ(now.sets, before.sets);
  EXPECT_EQ(now.current_player, before.current_player);
  EXPECT_EQ(now.played_count, before.played_count);
  EXPECT_EQ(now.map_player, before.map_player);
  EXPECT_EQ(now.last_piece_sizes, before.last_piece_sizes);
  EXPECT_EQ(now.finished, before.finished);
}

std::string invalid(std::size_t player, std::size_t tile) {
  return "Invalid move - Player " + std::to_string(player) + ", Tile " + std::to_string(tile);
}

// Plays `tiles` for the player to move, each of them expected legal.
void play(Game& game, const Cells& tiles) {
  for (std::size_t t : tiles)
    ASSERT_EQ(game.apply(t), std::nullopt) << "tile " << t;
}

// The cell in the same row, mirrored left to right.
std::size_t mirrored(std::size_t cell, std::size_t dim) {
  return cell / dim * dim + (dim - 1 - cell % dim);
}

// Every placement in the map (at the start of a turn every placement covers some key).
std::set<Placement> all_placements(const Game& game) {
  std::set<Placement> out;
  for (std::size_t t : game.get_legal_tiles()) {
    for (const Placement& p : game.tile_moves().placements(t))
      out.insert(p);
  }
  return out;
}

Cells cells_of(const Game& game, std::size_t player, const Placement& p) {
  const PieceVariant& v = game.board().pieces(player)[p.piece_index].variants[p.variant_index];
  Cells cells;
  for (std::size_t o : v.offsets)
    cells.push_back(p.anchor + o);
  return cells;
}

// Works out every cell byte and corner set from the owners alone and compares them with the
// board's: closed to p when occupied or beside a square of p; a corner cell of p when empty, open
// to p, and diagonal to a square of p without crossing a side edge, or p's free start corner.
void expect_consistent(const Board& board) {
  const std::size_t dim = board.dim();
  const auto owner_at = [&](std::ptrdiff_t r, std::ptrdiff_t c) -> std::size_t {
    const auto d = static_cast<std::ptrdiff_t>(dim);
    if (r < 0 || c < 0 || r >= d || c >= d) return 0;
    return board.owner(static_cast<std::size_t>(r * d + c));
  };
  const std::size_t start[4] = {0, dim - 1, dim * dim - 1, (dim - 1) * dim};
  std::array<Cells, 4> corners;
  for (std::size_t i = 0; i < board.cell_count(); ++i) {
    const auto r = static_cast<std::ptrdiff_t>(i / dim);
    const auto c = static_cast<std::ptrdiff_t>(i % dim);
    const std::size_t own = board.owner(i);
    std::uint8_t expected = static_cast<std::uint8_t>(own);
    for (std::size_t p = 0; p < 4; ++p) {
      const bool beside = owner_at(r - 1, c) == p + 1 || owner_at(r + 1, c) == p + 1 ||
                          owner_at(r, c - 1) == p + 1 || owner_at(r, c + 1) == p + 1;
      const bool diagonal = owner_at(r - 1, c - 1) == p + 1 || owner_at(r - 1, c + 1) == p + 1 ||
                            owner_at(r + 1, c - 1) == p + 1 || owner_at(r + 1, c + 1) == p + 1;
      const bool closed = own != 0 || beside;
      if (closed) expected |= static_cast<std::uint8_t>(0x10 << p);
      if (!closed && (diagonal || i == start[p])) corners[p].push_back(i);
    }
    ASSERT_EQ(board.cell(i), expected) << "cell " << i << " dim " << dim;
  }
  for (std::size_t p = 0; p < 4; ++p)
    ASSERT_EQ(board.corners(p), corners[p]) << "player " << p;
}

TEST(GameStart, PlayerZeroToMoveInItsCorner) {
  const Game game = Game::reset(20);
  EXPECT_EQ(game.dim(), 20u);
  EXPECT_EQ(game.current_player(), 0u);
  EXPECT_EQ(game.finished(), (std::array<bool, 4>{false, false, false, false}));
  EXPECT_EQ(game.last_piece_sizes(), (std::array<std::uint32_t, 4>{0, 0, 0, 0}));
  EXPECT_TRUE(game.history().empty());
  EXPECT_FALSE(game.is_terminal());
  EXPECT_EQ(game.tile_moves().player(), 0u);
  const Cells legal = game.get_legal_tiles();
  ASSERT_FALSE(legal.empty());
  EXPECT_TRUE(std::is_sorted(legal.begin(), legal.end()));
  EXPECT_EQ(legal.front(), 0u);
  for (std::size_t t : legal) {
    EXPECT_LE(t / 20, 4u) << t;
    EXPECT_LE(t % 20, 4u) << t;
  }
  EXPECT_EQ(std::count(legal.begin(), legal.end(), 4u), 1);
  EXPECT_EQ(std::count(legal.begin(), legal.end(), 80u), 1);
  Cells out = {7, 7, 7};
  game.legal_tiles(out);
  EXPECT_EQ(out, legal);
}

TEST(TurnCycle, FirstTileKeepsEveryOtherKey) {
  Game game = Game::reset(20);
  const Snapshot before = capture(game);
  ASSERT_EQ(game.apply(0), std::nullopt);
  EXPECT_EQ(game.history(), (History{{0, 0}}));
  EXPECT_EQ(game.current_player(), 0u);
  EXPECT_EQ(game.board().cell(0), 0xF1);
  Cells rest = before.legal;
  rest.erase(rest.begin());
  EXPECT_EQ(game.get_legal_tiles(), rest);
  for (std::size_t t : rest)
    EXPECT_EQ(game.tile_moves().placements(t), before.sets.at(t)) << t;
}

TEST(TurnCycle, RowOfFiveCompletesTheI5AndPassesToPlayerOne) {
  Game game = Game::reset(20);
  const Cells opening = game.get_legal_tiles();
  const std::size_t through_corner = game.tile_moves().placements(0).size();
  for (std::size_t t = 0; t < 4; ++t) {
    ASSERT_EQ(game.apply(t), std::nullopt);
    EXPECT_EQ(game.current_player(), 0u);
  }
  // I5 across and, holding the row of four, L5 and Y5 in two orientations each; I4 cannot be
  // completed here.
  EXPECT_EQ(game.get_legal_tiles(), (Cells{4, 20, 21, 22, 23}));
  std::set<std::size_t> kinds_left;
  for (std::size_t t : game.get_legal_tiles()) {
    for (const Placement& p : game.tile_moves().placements(t)) {
      kinds_left.insert(game.board().pieces(0).kind(p.piece_index));
    }
  }
  EXPECT_EQ(kinds_left, (std::set<std::size_t>{9, 10, 17}));
  EXPECT_EQ(all_placements(game).size(), 5u);

  ASSERT_EQ(game.apply(4), std::nullopt);
  EXPECT_EQ(game.board().pieces(0).size(), 20u);
  EXPECT_EQ(game.board().pieces(0).kinds(), ((1u << 21) - 1) & ~(1u << 9));
  EXPECT_EQ(game.last_piece_sizes(), (std::array<std::uint32_t, 4>{5, 0, 0, 0}));
  EXPECT_EQ(game.history(), (History{{0, 0}, {0, 1}, {0, 2}, {0, 3}, {0, 4}}));
  EXPECT_EQ(game.current_player(), 1u);
  EXPECT_EQ(game.tile_moves().player(), 1u);
  EXPECT_EQ(game.tile_moves().played_count(), 0u);
  EXPECT_EQ(game.finished(), (std::array<bool, 4>{false, false, false, false}));
  // Player 1's opening is player 0's mirrored: the same pieces, from the top right corner.
  std::set<std::size_t> expected;
  for (std::size_t t : opening)
    expected.insert(mirrored(t, 20));
  EXPECT_EQ(game.get_legal_tiles(), Cells(expected.begin(), expected.end()));
  EXPECT_EQ(game.tile_moves().placements(19).size(), through_corner);
}

TEST(TurnCycle, EdgeAdjacentTilesKeepOnlyPlacementsCoveringBoth) {
  Game game = Game::reset(20);
  const std::set<Placement> opening = all_placements(game);
  play(game, {0, 1});
  std::set<Placement> both;
  std::set<std::size_t> keys;
  for (const Placement& p : opening) {
    const Cells cells = cells_of(game, 0, p);
    // A placement of the two squares alone has no further tile to show under.
    if (cells.size() > 2 && std::count(cells.begin(), cells.end(), 0u) &&
        std::count(cells.begin(), cells.end(), 1u)) {
      both.insert(p);
      keys.insert(cells.begin(), cells.end());
    }
  }
  keys.erase(0);
  keys.erase(1);
  EXPECT_EQ(all_placements(game), both);
  EXPECT_EQ(game.get_legal_tiles(), Cells(keys.begin(), keys.end()));
  const Cells legal = game.get_legal_tiles();
  EXPECT_EQ(std::count(legal.begin(), legal.end(), 80u), 0);  // only I5 down reached it
  EXPECT_EQ(std::count(legal.begin(), legal.end(), 4u), 1);
  for (std::size_t t : legal) {
    for (const Placement& p : game.tile_moves().placements(t)) {
      const Cells cells = cells_of(game, 0, p);
      EXPECT_TRUE(std::count(cells.begin(), cells.end(), t));
    }
  }
}

TEST(InvalidTile, ChangesNothingAndNamesPlayerAndTile) {
  Game game = Game::reset(20);
  for (std::size_t tile : {5u, 100u, 399u, 19u}) {
    const Snapshot before = capture(game);
    EXPECT_EQ(game.apply(tile), invalid(0, tile));
    expect_unchanged(game, before);
  }

  // In the middle of a turn: a tile played earlier in the turn, an empty cell beside the turn's
  // squares that no placement reaches, and one far away.
  play(game, {0, 1});
  for (std::size_t tile : {0u, 1u, 80u, 5u, 210u}) {
    const Snapshot before = capture(game);
    EXPECT_EQ(game.apply(tile), invalid(0, tile));
    expect_unchanged(game, before);
  }
  play(game, {2, 3, 4});
  ASSERT_EQ(game.current_player(), 1u);

  // Player 1 on player 0's squares and on cells closed only to player 0.
  for (std::size_t tile : {0u, 4u, 5u, 24u, 399u}) {
    const Snapshot before = capture(game);
    EXPECT_EQ(game.apply(tile), invalid(1, tile));
    expect_unchanged(game, before);
  }
  EXPECT_EQ(game.board().cell(0), 0xF1);
  EXPECT_EQ(game.board().owner(4), 1u);

  // Play goes on normally afterwards.
  play(game, {19, 18, 17, 16, 15});
  EXPECT_EQ(game.current_player(), 2u);
  EXPECT_EQ(game.history().size(), 10u);
  EXPECT_EQ(game.last_piece_sizes(), (std::array<std::uint32_t, 4>{5, 5, 0, 0}));
}

TEST(InvalidInput, OffBoardTileAndPieceIndexPastTheEndStopWithoutChange) {
  Game game = Game::reset(20);
  {
    const Snapshot before = capture(game);
    EXPECT_THROW(game.apply(400), FatalStop);
    EXPECT_THROW(game.apply(400, 0), FatalStop);
    EXPECT_THROW(game.apply(1000000), FatalStop);
    EXPECT_THROW(game.apply(0, 21), FatalStop);
    EXPECT_THROW(game.apply(0, 1000), FatalStop);
    expect_unchanged(game, before);
  }
  play(game, {0});
  {
    const Snapshot before = capture(game);
    EXPECT_THROW(game.apply(400), FatalStop);
    EXPECT_THROW(game.apply(1, 21), FatalStop);
    expect_unchanged(game, before);
  }
  // A player holding 20 pieces has no index 20.
  ASSERT_EQ(game.apply(1, 0), std::nullopt);  // I1 taken off, with two squares down
  ASSERT_EQ(game.apply(19, 0), std::nullopt);
  ASSERT_EQ(game.apply(399, 0), std::nullopt);
  ASSERT_EQ(game.apply(380, 0), std::nullopt);
  ASSERT_EQ(game.current_player(), 0u);
  ASSERT_EQ(game.board().pieces(0).size(), 20u);
  ASSERT_TRUE(game.tile_moves().contains(22));
  {
    const Snapshot before = capture(game);
    EXPECT_THROW(game.apply(22, 20), FatalStop);
    expect_unchanged(game, before);
  }
  ASSERT_EQ(game.apply(22, 19), std::nullopt);  // the last one held, T5
  EXPECT_EQ(game.last_piece_sizes()[0], 5u);
  EXPECT_EQ(game.board().pieces(0).kinds() & (1u << 20), 0u);
}

TEST(ExplicitPiece, CompletesThatPieceAtOnce) {
  Game game = Game::reset(20);
  ASSERT_EQ(game.apply(0, 9), std::nullopt);  // I5 taken off with one square down
  EXPECT_EQ(game.current_player(), 1u);
  EXPECT_EQ(game.last_piece_sizes()[0], 5u);
  EXPECT_EQ(game.board().pieces(0).size(), 20u);
  EXPECT_EQ(game.board().pieces(0).kinds() & (1u << 9), 0u);
  EXPECT_EQ(game.history(), (History{{0, 0}}));
  EXPECT_EQ(game.board().owner(1), 0u);

  // Part of a piece, then the index: player 1 lays two squares and names I2.
  play(game, {19});
  ASSERT_EQ(game.apply(18, 1), std::nullopt);
  EXPECT_EQ(game.current_player(), 2u);
  EXPECT_EQ(game.last_piece_sizes()[1], 2u);
  EXPECT_EQ(game.board().pieces(1).kinds() & (1u << 1), 0u);

  ASSERT_EQ(game.apply(399, 0), std::nullopt);
  ASSERT_EQ(game.apply(380, 0), std::nullopt);
  ASSERT_EQ(game.current_player(), 0u);

  // The index counts the pieces still held, not kinds: for player 0, index 9 is now L5.
  ASSERT_EQ(game.apply(21, 9), std::nullopt);
  EXPECT_EQ(game.board().pieces(0).kinds() & (1u << 10), 0u);
  EXPECT_EQ(game.board().pieces(0).size(), 19u);
  EXPECT_EQ(game.last_piece_sizes()[1], 2u);
  ASSERT_EQ(game.current_player(), 1u);
  const std::size_t next1 = game.get_legal_tiles().front();
  ASSERT_EQ(game.apply(next1, 0), std::nullopt);  // player 1's index 0 is still I1
  EXPECT_EQ(game.last_piece_sizes()[1], 1u);
  const std::size_t next2 = game.get_legal_tiles().front();
  ASSERT_EQ(game.apply(next2, 0), std::nullopt);  // player 2's index 0 is now I2
  EXPECT_EQ(game.last_piece_sizes()[2], 2u);
  EXPECT_EQ(game.board().pieces(2).kinds() & 3u, 0u);
}

TEST(Payoff, BestScoresShareOne) {
  {
    const Game game = Game::reset(20);  // four equal scores
    EXPECT_EQ(game.get_payoff(), (std::array<float, 4>{0.25f, 0.25f, 0.25f, 0.25f}));
  }
  {
    Game game = Game::reset(20);  // one best, the first player
    play(game, {0, 1, 2, 3, 4});
    EXPECT_EQ(game.get_payoff(), (std::array<float, 4>{1.0f, 0.0f, 0.0f, 0.0f}));
  }
  {
    // A lower score first, a better pair in the middle, a lower one last.
    Game game = Game::reset(20);
    ASSERT_EQ(game.apply(0, 0), std::nullopt);
    play(game, {19, 18, 17, 16, 15});
    play(game, {399, 379, 359, 339, 319});
    play(game, {380});
    ASSERT_EQ(game.apply(381, 1), std::nullopt);
    ASSERT_EQ(game.current_player(), 0u);
    EXPECT_EQ(game.board().get_scores(game.last_piece_sizes()),
              (std::array<std::int32_t, 4>{-88, -84, -84, -87}));
    EXPECT_EQ(game.get_payoff(), (std::array<float, 4>{0.0f, 0.5f, 0.5f, 0.0f}));
  }
  {
    // The best score first and last.
    Game game = Game::reset(20);
    play(game, {0, 1, 2, 3, 4});
    ASSERT_EQ(game.apply(19, 0), std::nullopt);
    ASSERT_EQ(game.apply(399, 0), std::nullopt);
    play(game, {380, 360, 340, 320, 300});
    EXPECT_EQ(game.board().get_scores(game.last_piece_sizes()),
              (std::array<std::int32_t, 4>{-84, -88, -88, -84}));
    EXPECT_EQ(game.get_payoff(), (std::array<float, 4>{0.5f, 0.0f, 0.0f, 0.5f}));
  }
  {
    // Three best; a single best that is not the first player.
    Game game = Game::reset(20);
    play(game, {0, 1, 2, 3, 4});
    play(game, {19, 18, 17, 16, 15});
    play(game, {399, 398, 397, 396, 395});
    const float third = 1.0f / 3.0f;
    EXPECT_EQ(game.get_payoff(), (std::array<float, 4>{third, third, third, 0.0f}));
    ASSERT_EQ(game.apply(380, 0), std::nullopt);
    play(game, {25});
    ASSERT_EQ(game.apply(26, 0), std::nullopt);  // player 0 lays two squares and names I1
    EXPECT_EQ(game.get_payoff(), (std::array<float, 4>{1.0f, 0.0f, 0.0f, 0.0f}));
    ASSERT_EQ(game.apply(34, 0), std::nullopt);
    ASSERT_EQ(game.apply(374, 0), std::nullopt);
    play(game, {361, 362, 363, 364, 365});
    EXPECT_EQ(game.get_payoff(), (std::array<float, 4>{1.0f, 0.0f, 0.0f, 0.0f}));
    EXPECT_EQ(game.board().get_scores(game.last_piece_sizes()),
              (std::array<std::int32_t, 4>{-82, -83, -83, -83}));
  }
}

// Every player lays one square per turn and names a piece, so that all four run out of pieces
// after 21 turns each; player 2 takes its pieces off from the end, so its last is I1.
TEST(GameEnd, PlayersWithoutPiecesAreFinishedAndTheGameStaysOver) {
  Game game = Game::reset(20);
  for (int turn = 0; turn < 21; ++turn) {
    for (std::size_t p = 0; p < 4; ++p) {
      ASSERT_EQ(game.current_player(), p);
      ASSERT_FALSE(game.is_terminal());
      const Cells legal = game.get_legal_tiles();
      ASSERT_FALSE(legal.empty());
      const std::size_t index = p == 2 ? game.board().pieces(2).size() - 1 : 0;
      ASSERT_EQ(game.apply(legal.front(), index), std::nullopt);
    }
    if (turn < 20) {
      EXPECT_EQ(game.finished(), (std::array<bool, 4>{false, false, false, false}));
    }
  }
  EXPECT_TRUE(game.is_terminal());
  EXPECT_EQ(game.finished(), (std::array<bool, 4>{true, true, true, true}));
  EXPECT_TRUE(game.get_legal_tiles().empty());
  EXPECT_TRUE(game.tile_moves().empty());
  EXPECT_EQ(game.history().size(), 84u);
  for (std::size_t p = 0; p < 4; ++p)
    EXPECT_TRUE(game.board().pieces(p).empty());
  EXPECT_EQ(game.last_piece_sizes(), (std::array<std::uint32_t, 4>{5, 5, 1, 5}));
  EXPECT_EQ(game.board().get_scores(game.last_piece_sizes()),
            (std::array<std::int32_t, 4>{-53, -53, -48, -53}));
  EXPECT_EQ(game.get_payoff(), (std::array<float, 4>{0.0f, 0.0f, 1.0f, 0.0f}));

  const Snapshot over = capture(game);
  EXPECT_EQ(game.advance_player(), over.current_player);
  EXPECT_EQ(game.advance_player(), over.current_player);
  expect_unchanged(game, over);
  // No tile is legal any more; a free cell is refused like any other illegal tile.
  EXPECT_EQ(game.apply(200), invalid(over.current_player, 200));
  expect_unchanged(game, over);
}

TEST(TurnCycle, AdvancePlayerPassesTheTurnWithAFreshMap) {
  Game game = Game::reset(20);
  const Cells opening = game.get_legal_tiles();
  play(game, {0});
  EXPECT_EQ(game.advance_player(), 1u);
  EXPECT_EQ(game.current_player(), 1u);
  EXPECT_EQ(game.tile_moves().player(), 1u);
  EXPECT_EQ(game.tile_moves().played_count(), 0u);
  std::set<std::size_t> expected;
  for (std::size_t t : opening)
    expected.insert(mirrored(t, 20));
  EXPECT_EQ(game.get_legal_tiles(), Cells(expected.begin(), expected.end()));
  EXPECT_EQ(game.history().size(), 1u);
  EXPECT_EQ(game.board().pieces(0).size(), 21u);
  EXPECT_EQ(game.advance_player(), 2u);
  EXPECT_EQ(game.advance_player(), 3u);
  EXPECT_EQ(game.advance_player(), 0u);
  // Player 0 can still move from its corner cell 21.
  EXPECT_EQ(game.finished(), (std::array<bool, 4>{false, false, false, false}));
  EXPECT_TRUE(game.tile_moves().contains(21));
  EXPECT_FALSE(game.tile_moves().contains(0));
}

TEST(GameState, FifthPlaneMarksExactlyTheLegalTiles) {
  Game game = Game::reset(20);
  for (int stage = 0; stage < 2; ++stage) {
    SCOPED_TRACE(stage);
    const StateTensor planes = game.get_game_state(false);
    const StateTensor cells = game.get_game_state(true);
    ASSERT_EQ(planes.shape, (std::array<std::size_t, 3>{5, 20, 20}));
    ASSERT_EQ(cells.shape, (std::array<std::size_t, 3>{20, 20, 5}));
    ASSERT_EQ(planes.data.size(), 2000u);
    ASSERT_EQ(cells.data.size(), 2000u);
    const Cells legal = game.get_legal_tiles();
    const StateTensor own = game.board().get_rep(false, game.current_player());
    for (std::size_t r = 0; r < 20; ++r) {
      for (std::size_t c = 0; c < 20; ++c) {
        const bool is_legal = std::count(legal.begin(), legal.end(), r * 20 + c) != 0;
        EXPECT_EQ(planes.at(4, r, c), is_legal) << r << "," << c;
        for (std::size_t k = 0; k < 5; ++k) {
          EXPECT_EQ(cells.at(r, c, k), planes.at(k, r, c)) << r << "," << c << "," << k;
        }
        for (std::size_t k = 0; k < 4; ++k)
          EXPECT_EQ(planes.at(k, r, c), own.at(k, r, c));
      }
    }
    std::vector<std::uint8_t> written(2000, 7);
    game.write_game_state(false, written);
    EXPECT_EQ(written, planes.data);
    game.write_game_state(true, written);
    EXPECT_EQ(written, cells.data);
    if (stage == 0) play(game, {0, 1, 2, 3, 4});
  }
  // Seen from player 1, player 0's row of five is in the last ownership plane.
  const StateTensor planes = game.get_game_state(false);
  for (std::size_t c = 0; c < 5; ++c) {
    EXPECT_TRUE(planes.at(3, 0, c));
    EXPECT_FALSE(planes.at(0, 0, c));
    EXPECT_FALSE(planes.at(4, 0, c));
  }
  EXPECT_TRUE(planes.at(4, 0, 19));
  EXPECT_FALSE(planes.at(4, 0, 0));
}

TEST(GameValue, CopiesAreIndependent) {
  Game game = Game::reset(20);
  play(game, {0});
  const Snapshot before = capture(game);
  Game copy = game;
  play(copy, {1, 2, 3, 4});
  ASSERT_EQ(copy.current_player(), 1u);
  expect_unchanged(game, before);
  // The original goes on its own way with the same table.
  play(game, {20, 40, 60, 80});
  EXPECT_EQ(game.current_player(), 1u);
  EXPECT_EQ(game.board().pieces(0).kinds() & (1u << 9), 0u);
  EXPECT_EQ(copy.board().owner(20), 0u);

  const Game bare(game, Game::WithoutHistory{});
  EXPECT_TRUE(bare.history().empty());
  EXPECT_EQ(bare.get_legal_tiles(), game.get_legal_tiles());
  EXPECT_EQ(bare.current_player(), game.current_player());
  EXPECT_EQ(game.history().size(), 5u);

  copy = game;
  const History taken = copy.take_history();
  EXPECT_EQ(taken, game.history());
  EXPECT_TRUE(copy.history().empty());
}

// Random whole games: every tile the game calls legal is accepted, every completed piece is one
// orientation of the kind taken off, the turn skips only finished players, a finished player never
// moves again, and the game ends with every square owned by the player that played it.
void play_random_game(std::size_t dim, std::uint32_t seed, std::size_t* finished_early) {
  std::mt19937 rng(seed);
  Game game = Game::reset(dim);
  std::size_t applied = 0;
  Cells turn_tiles;
  std::array<bool, 4> finished{};
  while (!game.is_terminal()) {
    ASSERT_LE(applied, dim * dim) << "the game does not end";
    const std::size_t mover = game.current_player();
    ASSERT_FALSE(game.finished()[mover]);
    const Cells legal = game.get_legal_tiles();
    ASSERT_FALSE(legal.empty());
    const std::uint32_t kinds_before = game.board().pieces(mover).kinds();
    const std::size_t tile =
        legal[std::uniform_int_distribution<std::size_t>(0, legal.size() - 1)(rng)];
    const std::size_t history_before = game.history().size();
    ASSERT_EQ(game.apply(tile), std::nullopt);
    ++applied;
    ASSERT_EQ(game.history().size(), history_before + 1);
    ASSERT_EQ(game.history().back(),
              (HistoryEntry{static_cast<std::int32_t>(mover), static_cast<std::int32_t>(tile)}));
    turn_tiles.push_back(tile);

    const bool passed = game.is_terminal() || game.tile_moves().played_count() == 0;
    if (!passed) {
      ASSERT_EQ(game.current_player(), mover);
      continue;
    }
    // One piece was taken off, and the turn's squares are one orientation of it on the board.
    const std::uint32_t gone = kinds_before & ~game.board().pieces(mover).kinds();
    ASSERT_EQ(std::popcount(gone), 1);
    ASSERT_EQ(game.board().pieces(mover).kinds() | gone, kinds_before);
    const std::size_t kind = static_cast<std::size_t>(std::countr_zero(gone));
    const Piece& piece = game.board().piece_set().piece(kind);
    ASSERT_EQ(game.last_piece_sizes()[mover], piece.size);
    std::sort(turn_tiles.begin(), turn_tiles.end());
    bool matches = false;
    for (const PieceVariant& v : piece.variants) {
      if (turn_tiles.size() != v.offsets.size() || turn_tiles[0] < v.offsets[0]) continue;
      const std::size_t anchor = turn_tiles[0] - v.offsets[0];
      if (anchor % dim + v.width > dim) continue;
      Cells cells;
      for (std::size_t o : v.offsets)
        cells.push_back(anchor + o);
      matches = matches || cells == turn_tiles;
    }
    ASSERT_TRUE(matches) << "kind " << kind << " dim " << dim;
    turn_tiles.clear();
    ASSERT_NO_FATAL_FAILURE(expect_consistent(game.board()));

    // Players passed over are finished, and flags only ever turn on.
    for (std::size_t p = 0; p < 4; ++p) {
      if (finished[p]) {
        ASSERT_TRUE(game.finished()[p]);
      }
    }
    if (!game.is_terminal()) {
      for (std::size_t p = (mover + 1) % 4; p != game.current_player(); p = (p + 1) % 4) {
        ASSERT_TRUE(game.finished()[p]) << "player " << p << " skipped";
      }
      ASSERT_FALSE(game.finished()[game.current_player()]);
    }
    for (std::size_t p = 0; p < 4; ++p) {
      if (game.finished()[p] && !finished[p]) {
        EXPECT_TRUE(get_tile_moves(game.board(), p).empty());
        if (!game.is_terminal()) ++*finished_early;
      }
    }
    finished = game.finished();
  }

  EXPECT_TRUE(game.get_legal_tiles().empty());
  EXPECT_TRUE(game.tile_moves().empty());
  EXPECT_EQ(game.finished(), (std::array<bool, 4>{true, true, true, true}));
  EXPECT_EQ(game.history().size(), applied);

  const Board& board = game.board();
  std::array<std::int32_t, 4> moves_of{};
  for (const auto& [player, tile] : game.history()) {
    ASSERT_EQ(board.owner(static_cast<std::size_t>(tile)), static_cast<std::size_t>(player) + 1);
    ++moves_of[static_cast<std::size_t>(player)];
  }
  std::array<std::int32_t, 4> owned{};
  for (std::size_t c = 0; c < board.cell_count(); ++c) {
    if (board.owner(c) != 0) ++owned[board.owner(c) - 1];
  }
  EXPECT_EQ(owned, moves_of);
  for (std::size_t p = 0; p < 4; ++p) {
    std::int32_t held = 0;
    const PieceList pieces = board.pieces(p);
    for (std::size_t i = 0; i < pieces.size(); ++i)
      held += static_cast<std::int32_t>(pieces[i].size);
    EXPECT_EQ(owned[p], 89 - held) << "player " << p;
  }
  // The payoff goes to the best scores.
  const std::array<std::int32_t, 4> scores = board.get_scores(game.last_piece_sizes());
  const std::int32_t best = *std::max_element(scores.begin(), scores.end());
  const auto winners = static_cast<float>(std::count(scores.begin(), scores.end(), best));
  const std::array<float, 4> payoff = game.get_payoff();
  for (std::size_t p = 0; p < 4; ++p) {
    EXPECT_EQ(payoff[p], scores[p] == best ? 1.0f / winners : 0.0f) << "player " << p;
  }

  const Snapshot over = capture(game);
  EXPECT_EQ(game.advance_player(), over.current_player);
  expect_unchanged(game, over);
}

TEST(RandomGames, EveryBoardSidePlaysToTheEnd) {
  std::size_t finished_early = 0;
  std::uint32_t seed = 11;
  for (std::size_t dim : {4u, 5u, 7u, 13u, 20u, 24u, 36u}) {
    for (int i = 0; i < 3; ++i) {
      SCOPED_TRACE("dim " + std::to_string(dim) + " seed " + std::to_string(seed));
      ASSERT_NO_FATAL_FAILURE(play_random_game(dim, seed++, &finished_early));
    }
  }
  // Some player ran out of moves while others played on.
  EXPECT_GT(finished_early, 0u);
}

}  // namespace
}  // namespace tessarin

// The game: playing tiles one square at a time, completing pieces, passing the turn, the end of
// the game, payoffs and the network input.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
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

// Builds a broken map that no sequence of public operations produces.
struct EngineTestAccess {
  // Replaces the map of `game` by one whose only key, `tile`, has an empty set of placements.
  static void give_key_without_placements(Game& game, std::size_t tile) {
    auto table = std::make_shared<TileMoveTable>();
    table->player_ = game.current_player();
    table->dim_ = game.dim();
    table->keys_ = {static_cast<std::uint32_t>(tile)};
    table->member_begin_ = {0, 0};
    game.tile_moves_ = TileMoves(table);
  }
};

namespace {

using Cells = std::vector<std::size_t>;
using History = std::vector<HistoryEntry>;
using Payoff = std::array<float, 4>;
using Scores = std::array<std::int32_t, 4>;
using Sizes = std::array<std::uint32_t, 4>;
using Flags = std::array<bool, 4>;

// Player 0's opening on side 20: every cell of the top-left 5 x 5 that a piece laid with a square
// on cell 0 reaches, which is every cell at most four steps from it along a path of squares.
const Cells kOpening = {0, 1, 2, 3, 4, 20, 21, 22, 23, 40, 41, 42, 60, 61, 80};

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
  Sizes last_piece_sizes;
  Flags finished;
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

// Player 1's opening: player 0's mirrored left to right.
Cells mirrored_opening() {
  std::set<std::size_t> out;
  for (std::size_t t : kOpening)
    out.insert(t / 20 * 20 + 19 - t % 20);
  return Cells(out.begin(), out.end());
}

TEST(GameStart, PlayerZeroToMoveInItsCorner) {
  const Game game = Game::reset(20);
  EXPECT_EQ(game.dim(), 20u);
  EXPECT_EQ(game.current_player(), 0u);
  EXPECT_EQ(game.finished(), (Flags{false, false, false, false}));
  EXPECT_EQ(game.last_piece_sizes(), (Sizes{0, 0, 0, 0}));
  EXPECT_TRUE(game.history().empty());
  EXPECT_FALSE(game.is_terminal());
  EXPECT_EQ(game.tile_moves().player(), 0u);
  EXPECT_EQ(game.get_legal_tiles(), kOpening);
  for (std::size_t t : kOpening) {
    for (const Placement& p : game.tile_moves().placements(t))
      EXPECT_EQ(p.anchor, 0u) << "tile " << t;
  }
  Cells out = {7, 7, 7};
  game.legal_tiles(out);
  EXPECT_EQ(out, kOpening);
}

TEST(TurnCycle, FirstTileKeepsEveryOtherKey) {
  Game game = Game::reset(20);
  const Snapshot before = capture(game);
  ASSERT_EQ(game.apply(0), std::nullopt);
  EXPECT_EQ(game.history(), (History{{0, 0}}));
  EXPECT_EQ(game.current_player(), 0u);
  EXPECT_EQ(game.board().cell(0), 0xF1);
  const Cells rest(kOpening.begin() + 1, kOpening.end());
  EXPECT_EQ(game.get_legal_tiles(), rest);
  for (std::size_t t : rest)
    EXPECT_EQ(game.tile_moves().placements(t), before.sets.at(t)) << t;
}

TEST(TurnCycle, RowOfFiveCompletesTheI5AndPassesToPlayerOne) {
  Game game = Game::reset(20);
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
    for (const Placement& p : game.tile_moves().placements(t))
      kinds_left.insert(game.board().pieces(0).kind(p.piece_index));
  }
  EXPECT_EQ(kinds_left, (std::set<std::size_t>{9, 10, 17}));

  ASSERT_EQ(game.apply(4), std::nullopt);
  EXPECT_EQ(game.board().pieces(0).size(), 20u);
  EXPECT_EQ(game.board().pieces(0).kinds(), ((1u << 21) - 1) & ~(1u << 9));
  EXPECT_EQ(game.last_piece_sizes(), (Sizes{5, 0, 0, 0}));
  EXPECT_EQ(game.history(), (History{{0, 0}, {0, 1}, {0, 2}, {0, 3}, {0, 4}}));
  EXPECT_EQ(game.current_player(), 1u);
  EXPECT_EQ(game.tile_moves().player(), 1u);
  EXPECT_EQ(game.tile_moves().played_count(), 0u);
  EXPECT_EQ(game.finished(), (Flags{false, false, false, false}));
  EXPECT_EQ(game.get_legal_tiles(), mirrored_opening());
  EXPECT_EQ(game.tile_moves().placements(19).size(), through_corner);
}

// Only placements with a third square are left, and each covers 0, 1 and the tile it is listed
// under; 80 is gone since only I5 down reached it.
TEST(TurnCycle, EdgeAdjacentTilesKeepOnlyPlacementsCoveringBoth) {
  Game game = Game::reset(20);
  play(game, {0, 1});
  EXPECT_EQ(game.get_legal_tiles(), (Cells{2, 3, 4, 20, 21, 22, 23, 40, 41, 42, 60, 61}));
  for (std::size_t t : game.get_legal_tiles()) {
    for (const Placement& p : game.tile_moves().placements(t)) {
      const PieceVariant& v = game.board().pieces(0)[p.piece_index].variants[p.variant_index];
      Cells cells;
      for (std::size_t o : v.offsets)
        cells.push_back(p.anchor + o);
      for (std::size_t must : {std::size_t{0}, std::size_t{1}, t})
        EXPECT_EQ(std::count(cells.begin(), cells.end(), must), 1) << "tile " << t;
    }
  }
}

TEST(TurnCycle, AdvancePlayerPassesTheTurnWithAFreshMap) {
  Game game = Game::reset(20);
  play(game, {0});
  EXPECT_EQ(game.advance_player(), 1u);
  EXPECT_EQ(game.current_player(), 1u);
  EXPECT_EQ(game.tile_moves().player(), 1u);
  EXPECT_EQ(game.tile_moves().played_count(), 0u);
  EXPECT_EQ(game.get_legal_tiles(), mirrored_opening());
  EXPECT_EQ(game.history().size(), 1u);
  EXPECT_EQ(game.board().pieces(0).size(), 21u);
  EXPECT_EQ(game.advance_player(), 2u);
  EXPECT_EQ(game.advance_player(), 3u);
  EXPECT_EQ(game.advance_player(), 0u);
  // Player 0 can still move from its corner cell 21.
  EXPECT_EQ(game.finished(), (Flags{false, false, false, false}));
  EXPECT_TRUE(game.tile_moves().contains(21));
  EXPECT_FALSE(game.tile_moves().contains(0));
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
  for (std::size_t tile : {0u, 4u, 5u, 24u}) {
    const Snapshot before = capture(game);
    EXPECT_EQ(game.apply(tile), invalid(1, tile));
    expect_unchanged(game, before);
  }
  play(game, {19, 18, 17, 16, 15});
  EXPECT_EQ(game.current_player(), 2u);
  EXPECT_EQ(game.last_piece_sizes(), (Sizes{5, 5, 0, 0}));
}

TEST(InvalidTile, KeyWithAnEmptySetIsRefusedWithoutATrace) {
  Game game = Game::reset(7);
  play(game, {0, 1, 2, 3, 4});
  ASSERT_EQ(game.current_player(), 1u);
  EngineTestAccess::give_key_without_placements(game, 13);
  const Snapshot before = capture(game);
  EXPECT_EQ(game.apply(13), "valid_moves must be non-empty");
  expect_unchanged(game, before);
  EXPECT_EQ(game.board().owner(13), 0u);

  // A caller that holds the tile to be legal stops with the same text.
  try {
    game.apply_legal(13);
    ADD_FAILURE() << "no stop";
  } catch (const FatalStop& stop) {
    EXPECT_STREQ(stop.what(), "valid_moves must be non-empty");
  }
  expect_unchanged(game, before);
}

TEST(InvalidTile, ApplyLegalStopsWithTheEngineText) {
  Game game = Game::reset(20);
  game.apply_legal(0);
  EXPECT_EQ(game.history(), (History{{0, 0}}));
  const Snapshot before = capture(game);
  try {
    game.apply_legal(399);
    ADD_FAILURE() << "no stop";
  } catch (const FatalStop& stop) {
    EXPECT_STREQ(stop.what(), "Invalid move - Player 0, Tile 399");
  }
  expect_unchanged(game, before);
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

TEST(ExplicitPiece, IndexCountsHeldPiecesAndCompletesThatPieceAtOnce) {
  Game game = Game::reset(20);
  ASSERT_EQ(game.apply(0, 9), std::nullopt);  // I5 taken off with one square down
  EXPECT_EQ(game.current_player(), 1u);
  EXPECT_EQ(game.last_piece_sizes()[0], 5u);
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

  // For player 0, index 9 is now L5; for player 2, index 0 is now I2.
  ASSERT_EQ(game.apply(21, 9), std::nullopt);
  EXPECT_EQ(game.board().pieces(0).kinds() & (1u << 10), 0u);
  EXPECT_EQ(game.board().pieces(0).size(), 19u);
  ASSERT_EQ(game.apply(game.get_legal_tiles().front(), 0), std::nullopt);  // player 1: I1
  EXPECT_EQ(game.last_piece_sizes()[1], 1u);
  ASSERT_EQ(game.apply(game.get_legal_tiles().front(), 0), std::nullopt);  // player 2: I2
  EXPECT_EQ(game.last_piece_sizes()[2], 2u);
  EXPECT_EQ(game.board().pieces(2).kinds() & 3u, 0u);
}

TEST(Payoff, BestScoresShareOne) {
  Game game = Game::reset(20);
  EXPECT_EQ(game.get_payoff(), (Payoff{0.25f, 0.25f, 0.25f, 0.25f}));
  play(game, {0, 1, 2, 3, 4});
  EXPECT_EQ(game.get_payoff(), (Payoff{1.0f, 0.0f, 0.0f, 0.0f}));

  // A lower score first, a better pair in the middle, a lower one last.
  Game tie = Game::reset(20);
  ASSERT_EQ(tie.apply(0, 0), std::nullopt);
  play(tie, {19, 18, 17, 16, 15});
  play(tie, {399, 379, 359, 339, 319});
  play(tie, {380});
  ASSERT_EQ(tie.apply(381, 1), std::nullopt);
  EXPECT_EQ(tie.board().get_scores(tie.last_piece_sizes()), (Scores{-88, -84, -84, -87}));
  EXPECT_EQ(tie.get_payoff(), (Payoff{0.0f, 0.5f, 0.5f, 0.0f}));
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
      EXPECT_EQ(game.finished(), (Flags{false, false, false, false}));
    }
  }
  EXPECT_TRUE(game.is_terminal());
  EXPECT_EQ(game.finished(), (Flags{true, true, true, true}));
  EXPECT_TRUE(game.get_legal_tiles().empty());
  EXPECT_TRUE(game.tile_moves().empty());
  EXPECT_EQ(game.history().size(), 84u);
  EXPECT_EQ(game.last_piece_sizes(), (Sizes{5, 5, 1, 5}));
  EXPECT_EQ(game.board().get_scores(game.last_piece_sizes()), (Scores{-53, -53, -48, -53}));
  EXPECT_EQ(game.get_payoff(), (Payoff{0.0f, 0.0f, 1.0f, 0.0f}));

  const Snapshot over = capture(game);
  EXPECT_EQ(game.advance_player(), over.current_player);
  EXPECT_EQ(game.advance_player(), over.current_player);
  expect_unchanged(game, over);
  // No tile is legal any more; a free cell is refused like any other illegal tile.
  EXPECT_EQ(game.apply(200), invalid(over.current_player, 200));
  expect_unchanged(game, over);
}

// The board's planes seen from the player to move, then a fifth plane at the legal tiles.
TEST(GameState, FifthPlaneMarksTheLegalTilesInBothLayouts) {
  Game game = Game::reset(20);
  for (int stage = 0; stage < 2; ++stage) {
    SCOPED_TRACE(stage);
    if (stage == 1) play(game, {0, 1, 2, 3, 4});
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
        ASSERT_EQ(planes.at(4, r, c), is_legal) << r << "," << c;
        for (std::size_t k = 0; k < 5; ++k)
          ASSERT_EQ(cells.at(r, c, k), planes.at(k, r, c)) << r << "," << c << "," << k;
        for (std::size_t k = 0; k < 4; ++k)
          ASSERT_EQ(planes.at(k, r, c), own.at(k, r, c)) << r << "," << c << "," << k;
      }
    }
    std::vector<std::uint8_t> written(2000, 7);
    game.write_game_state(false, written);
    EXPECT_EQ(written, planes.data);
    game.write_game_state(true, written);
    EXPECT_EQ(written, cells.data);
  }
  // Seen from player 1, player 0's row of five is in the last ownership plane.
  const StateTensor planes = game.get_game_state(false);
  for (std::size_t c = 0; c < 5; ++c) {
    EXPECT_TRUE(planes.at(3, 0, c));
    EXPECT_FALSE(planes.at(0, 0, c));
  }
  EXPECT_TRUE(planes.at(4, 0, 19));
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

}  // namespace
}  // namespace tessarin

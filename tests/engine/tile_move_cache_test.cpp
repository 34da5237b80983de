// The memo of tile-move tables: a table handed out again must be the one the board would build,
// for every key that differs in any part (side, player, pieces held, closed or corner cells), and
// games that take their tables from a memo must play exactly as games that build them.
#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <vector>

#include "board.h"
#include "fatal.h"
#include "game.h"
#include "tile_move_cache.h"
#include "tile_moves.h"

namespace tessarin {
namespace {

// Two tables list the same placements under the same keys.
void expect_same_table(const TileMoveTable& got, const TileMoveTable& built) {
  ASSERT_EQ(got.player(), built.player());
  ASSERT_EQ(got.dim(), built.dim());
  ASSERT_EQ(got.records().size(), built.records().size());
  for (std::size_t id = 0; id < got.records().size(); ++id)
    ASSERT_EQ(got.placement(id), built.placement(id)) << id;
  ASSERT_EQ(std::vector<std::uint32_t>(got.keys().begin(), got.keys().end()),
            std::vector<std::uint32_t>(built.keys().begin(), built.keys().end()));
  for (std::size_t k = 0; k < got.keys().size(); ++k) {
    ASSERT_EQ(std::vector<std::uint32_t>(got.members(k).begin(), got.members(k).end()),
              std::vector<std::uint32_t>(built.members(k).begin(), built.members(k).end()));
  }
}

// Keys that share all but one part must not share a table: one memo asked for each in turn.
TEST(TileMoveTableCache, EveryPartOfTheKeyTellsTablesApart) {
  Board start(20);
  Board fewer_pieces(20);  // the same cells, one piece less
  fewer_pieces.remove_piece(0, 20);
  Board moved(20);  // one square more: closed and corner cells differ
  moved.place_tile(0, 0);
  Board wider(21);  // as many words per set as side 20
  ASSERT_EQ(wider.words_per_set(), start.words_per_set());

  TileMoveTableCache tables(8);
  const std::vector<std::pair<const Board*, std::size_t>> keys = {
      {&start, 0}, {&fewer_pieces, 0}, {&moved, 0}, {&wider, 0}, {&start, 1}, {&moved, 1}};
  for (int round = 0; round < 2; ++round) {
    for (const auto& [board, player] : keys) {
      SCOPED_TRACE(testing::Message()
                   << "round " << round << " side " << board->dim() << " player " << player);
      expect_same_table(*tables.table(*board, player), *build_tile_move_table(*board, player));
    }
  }
  EXPECT_EQ(tables.builds(), keys.size());
  EXPECT_EQ(tables.hits(), keys.size());
}

// The same key gives the same table; the least recently used one makes room.
TEST(TileMoveTableCache, KeepsTheMostRecentlyUsedTables) {
  Board board(20);
  TileMoveTableCache tables(2);
  EXPECT_EQ(tables.capacity(), 2u);
  const auto first = tables.table(board, 0);
  EXPECT_EQ(tables.table(board, 0), first);
  const auto second = tables.table(board, 1);
  EXPECT_EQ(tables.table(board, 0), first);  // player 0 is now the most recent
  (void)tables.table(board, 2);              // evicts player 1
  EXPECT_EQ(tables.table(board, 0), first);
  EXPECT_EQ(tables.builds(), 3u);
  EXPECT_NE(tables.table(board, 1), second);  // built again
  EXPECT_EQ(tables.builds(), 4u);

  EXPECT_THROW(tables.table(board, 4), FatalStop);
  EXPECT_THROW(TileMoveTableCache(0), FatalStop);
}

// Seeded random games played twice, once building every table and once through a memo too
// small for a whole game (so tables are evicted and built again), agree at every action; so do
// short random continuations from each position, played on copies the way a search replays its
// tree (the memo hands their tables out again).
TEST(TileMoveTableCache, GamesPlayTheSameThroughAMemo) {
  for (std::size_t dim : {5u, 7u, 13u, 20u}) {
    for (unsigned seed = 0; seed < 3; ++seed) {
      SCOPED_TRACE(testing::Message() << "side " << dim << " seed " << seed);
      std::mt19937 rng(seed);
      auto pick = [&rng](const std::vector<std::size_t>& legal) {
        return legal[std::uniform_int_distribution<std::size_t>(0, legal.size() - 1)(rng)];
      };
      TileMoveTableCache tables(3);
      Game built = Game::reset(dim);
      Game memo = Game::reset(dim);
      while (!built.is_terminal()) {
        for (int line = 0; line < 3; ++line) {
          Game built_copy(built, Game::WithoutHistory{});
          Game memo_copy(memo, Game::WithoutHistory{});
          for (int depth = 0; depth < 8 && !built_copy.is_terminal(); ++depth) {
            const std::size_t tile = pick(built_copy.get_legal_tiles());
            built_copy.apply_legal(tile);
            memo_copy.apply_legal(tile, &tables);
            ASSERT_EQ(memo_copy.get_legal_tiles(), built_copy.get_legal_tiles());
            ASSERT_EQ(memo_copy.current_player(), built_copy.current_player());
          }
        }
        const std::vector<std::size_t> legal = built.get_legal_tiles();
        ASSERT_EQ(memo.get_legal_tiles(), legal);
        ASSERT_EQ(memo.current_player(), built.current_player());
        const std::size_t tile = pick(legal);
        ASSERT_EQ(built.apply(tile), std::nullopt);
        ASSERT_EQ(memo.apply(tile, std::nullopt, &tables), std::nullopt);
      }
      EXPECT_TRUE(memo.is_terminal());
      EXPECT_EQ(memo.history(), built.history());
      EXPECT_EQ(memo.get_payoff(), built.get_payoff());
      EXPECT_EQ(memo.finished(), built.finished());
      EXPECT_GT(tables.builds(), tables.capacity());
      EXPECT_GT(tables.hits(), 0u);
    }
  }
}

}  // namespace
}  // namespace tessarin

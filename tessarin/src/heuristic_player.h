// Engine players that need no network: a uniformly random player and a one-rule heuristic.
//
// The heuristic lays the largest piece it can; among placements of that size it takes the one that
// opens the most new corner cells (empty cells, not closed to it, that the piece touches diagonally
// and that were not corner cells before), and among those one drawn uniformly from the caller's
// random source. Since a piece is laid one square at a time, the player commits to a placement at
// the first tile of its turn and then plays that placement's squares, ascending.
//
// Randomness comes from the caller: any object with `uniform_index(n)` returning an index in
// [0, n), so that the engine does not depend on the search layer's generator and a seeded source
// makes every choice reproducible.
#pragma once

#include <concepts>
#include <cstddef>
#include <vector>

#include "fatal.h"
#include "game.h"
#include "tile_moves.h"

namespace tessarin {

// A source of uniform indices: `uniform_index(n)` in [0, n) for n > 0.
template <class R>
concept IndexSource = requires(R& random, std::size_t n) {
  { random.uniform_index(n) } -> std::convertible_to<std::size_t>;
};

// A legal tile of the player to move, drawn uniformly. Throws FatalStop when there is none (the
// game is over).
template <IndexSource R>
std::size_t random_tile(const Game& game, R& random) {
  const std::vector<std::size_t> legal = game.get_legal_tiles();
  if (legal.empty()) fatal("A random player has no legal tile: the game is over");
  return legal[random.uniform_index(legal.size())];
}

// A placement with the cells it covers (ascending) and what the heuristic rates it by.
struct RatedPlacement {
  Placement placement;
  std::vector<std::size_t> cells;
  std::size_t size;
  std::size_t new_corners;
};

// Every placement still possible for the player to move (at the start of a turn: every valid
// placement; later: those covering the tiles played this turn that still have an empty cell),
// each once, sorted by Placement order, rated.
std::vector<RatedPlacement> live_placements(const Game& game);

// The placements of greatest size and, among those, most new corner cells; in Placement order.
// Empty exactly when the player to move has no legal tile.
std::vector<RatedPlacement> best_placements(const Game& game);

// The corner cells `player` would gain by covering `cells` (ascending, all empty): empty cells
// diagonal to one of them, not closed to `player`, sharing no edge with them, not yet corners.
std::size_t new_corner_count(const Board& board, std::size_t player,
                             const std::vector<std::size_t>& cells);

class HeuristicPlayer {
 public:
  // The tile to play for the player to move. At the first tile of a turn (or when the game is not
  // in the middle of the placement this player committed to: another game, another player, tiles
  // it did not play) it commits to one of best_placements; then it returns that placement's first
  // empty cell. Throws FatalStop when the game is over, or if its placement stopped being legal
  // (a broken invariant: a live placement's empty cells are always legal tiles).
  template <IndexSource R>
  std::size_t choose(const Game& game, R& random) {
    if (!continues_commitment(game)) {
      std::vector<RatedPlacement> best = best_placements(game);
      if (best.empty()) fatal("The heuristic player has no legal tile: the game is over");
      commit(game, std::move(best[random.uniform_index(best.size())]));
    }
    return next_tile(game);
  }

  // The placement committed to last, if any (for tests and tools).
  const std::vector<std::size_t>& committed_cells() const { return cells_; }

 private:
  // Whether the tiles played in this turn are all cells of the committed placement, for the same
  // player and board side, with at least one of its cells still empty.
  bool continues_commitment(const Game& game) const;
  void commit(const Game& game, RatedPlacement chosen);
  // The committed placement's first empty cell, checked to be legal.
  std::size_t next_tile(const Game& game) const;

  std::vector<std::size_t> cells_;
  std::size_t player_ = 0;
  std::size_t dim_ = 0;
};

}  // namespace tessarin

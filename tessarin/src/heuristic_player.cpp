#include "heuristic_player.h"

#include <algorithm>
#include <string>
#include <utility>

#include "cell_bits.h"

namespace tessarin {
namespace {

bool holds(const std::vector<std::size_t>& sorted, std::size_t cell) {
  return std::binary_search(sorted.begin(), sorted.end(), cell);
}

// Whether `cell` shares an edge with one of `cells` (ascending), without wrapping across a side.
bool touches_edge(std::size_t dim, std::size_t cell, const std::vector<std::size_t>& cells) {
  const std::size_t row = cell / dim;
  const std::size_t col = cell % dim;
  return (col > 0 && holds(cells, cell - 1)) || (col + 1 < dim && holds(cells, cell + 1)) ||
         (row > 0 && holds(cells, cell - dim)) || (row + 1 < dim && holds(cells, cell + dim));
}

}  // namespace

std::size_t new_corner_count(const Board& board, std::size_t player,
                             const std::vector<std::size_t>& cells) {
  check_player(player);
  const std::size_t dim = board.dim();
  const std::uint64_t* closed = board.closed_words(player);
  std::vector<std::size_t> opened;
  for (std::size_t cell : cells) {
    const std::size_t row = cell / dim;
    const std::size_t col = cell % dim;
    for (const auto& [dr, dc] : {std::pair{-1, -1}, {-1, 1}, {1, -1}, {1, 1}}) {
      if ((dr < 0 && row == 0) || (dr > 0 && row + 1 == dim) || (dc < 0 && col == 0) ||
          (dc > 0 && col + 1 == dim)) {
        continue;
      }
      const std::size_t target =
          (row + static_cast<std::size_t>(dr)) * dim + col + static_cast<std::size_t>(dc);
      // Occupied cells are closed to everyone, so this also keeps only empty cells.
      if (holds(cells, target) || cell_bits::test(closed, target) ||
          board.is_corner(player, target) || touches_edge(dim, target, cells)) {
        continue;
      }
      opened.push_back(target);
    }
  }
  std::sort(opened.begin(), opened.end());
  return static_cast<std::size_t>(std::unique(opened.begin(), opened.end()) - opened.begin());
}

std::vector<RatedPlacement> live_placements(const Game& game) {
  const TileMoves& moves = game.tile_moves();
  std::vector<Placement> placements;
  for (std::size_t tile : game.get_legal_tiles()) {
    const std::vector<Placement> set = moves.placements(tile);
    placements.insert(placements.end(), set.begin(), set.end());
  }
  std::sort(placements.begin(), placements.end());
  placements.erase(std::unique(placements.begin(), placements.end()), placements.end());

  const Board& board = game.board();
  const std::size_t player = game.current_player();
  // Piece indices name the list as the turn began; it changes only when the piece is complete.
  const PieceList pieces = board.pieces(player);
  std::vector<RatedPlacement> rated;
  rated.reserve(placements.size());
  for (const Placement& placement : placements) {
    const Piece& piece = pieces[placement.piece_index];
    const PieceVariant& variant = piece.variants.at(placement.variant_index);
    std::vector<std::size_t> cells;
    cells.reserve(variant.offsets.size());
    for (std::size_t offset : variant.offsets)
      cells.push_back(placement.anchor + offset);
    const std::size_t corners = new_corner_count(board, player, cells);
    rated.push_back({placement, std::move(cells), piece.size, corners});
  }
  return rated;
}

std::vector<RatedPlacement> best_placements(const Game& game) {
  std::vector<RatedPlacement> rated = live_placements(game);
  std::size_t size = 0;
  std::size_t corners = 0;
  for (const RatedPlacement& r : rated) {
    if (r.size > size || (r.size == size && r.new_corners > corners)) {
      size = r.size;
      corners = r.new_corners;
    }
  }
  std::erase_if(
      rated, [&](const RatedPlacement& r) { return r.size != size || r.new_corners != corners; });
  return rated;
}

bool HeuristicPlayer::continues_commitment(const Game& game) const {
  const std::size_t played = game.tile_moves().played_count();
  if (played == 0 || cells_.empty() || player_ != game.current_player() || dim_ != game.dim()) {
    return false;
  }
  const auto& history = game.history();
  if (history.size() < played) return false;
  for (std::size_t i = history.size() - played; i < history.size(); ++i) {
    const auto [player, tile] = history[i];
    if (static_cast<std::size_t>(player) != player_ ||
        !holds(cells_, static_cast<std::size_t>(tile))) {
      return false;
    }
  }
  // The placement's empty cells must all still be legal: then it is one of the live placements.
  bool any_empty = false;
  for (std::size_t cell : cells_) {
    if (game.board().owner(cell) != 0) continue;
    if (!game.tile_moves().contains(cell)) return false;
    any_empty = true;
  }
  return any_empty;
}

void HeuristicPlayer::commit(const Game& game, RatedPlacement chosen) {
  cells_ = std::move(chosen.cells);
  player_ = game.current_player();
  dim_ = game.dim();
}

std::size_t HeuristicPlayer::next_tile(const Game& game) const {
  for (std::size_t cell : cells_) {
    if (game.board().owner(cell) != 0) continue;
    if (!game.tile_moves().contains(cell)) {
      fatal("The heuristic player's placement no longer explains the game: cell " +
            std::to_string(cell) + " is not a legal tile");
    }
    return cell;
  }
  fatal("The heuristic player's placement has no empty cell left");
}

}  // namespace tessarin

#include "straightforward_engine.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>

namespace straightforward {
namespace {

// The base shape of every kind, rows separated by '/'.
constexpr std::array<std::string_view, 21> kBaseShapes = {
    "X",           "XX",          "XX/.X",       "XXX",         "XXXX",      "XX/X./X.",
    "XXX/.X.",     "XX/XX",       "XX./.XX",     "XXXXX",       "XXXX/X...", "XXX./..XX",
    "XXX/XX.",     "XXX/X../X..", "XX./.XX/..X", "XX./.X./.XX", "XXX/X.X",   "XXXX/.X..",
    ".X./XXX/.X.", ".X./XXX/X..", "XXX/.X./.X.",
};

constexpr std::size_t kTotalSquares = 89;

Shape parse_shape(std::string_view text) {
  Shape shape(1);
  for (char c : text) {
    if (c == '/') {
      shape.emplace_back();
    } else {
      shape.back().push_back(c == 'X');
    }
  }
  return shape;
}

std::size_t start_corner(std::size_t player, std::size_t dim) {
  switch (player) {
    case 0:
      return 0;
    case 1:
      return dim - 1;
    case 2:
      return dim * dim - 1;
    case 3:
      return (dim - 1) * dim;
    default:
      throw std::out_of_range("Invalid player number\n");
  }
}

}  // namespace

PieceVariant PieceVariant::make(Shape shape, std::size_t dim) {
  PieceVariant variant;
  for (std::size_t r = 0; r < shape.size(); ++r) {
    for (bool square : shape[r])
      variant.mask.push_back(square ? 1 : 0);
    if (r + 1 < shape.size()) {
      if (shape[r].size() > dim) throw std::invalid_argument("piece row wider than the board");
      variant.mask.insert(variant.mask.end(), dim - shape[r].size(), 0);
    }
  }
  for (std::size_t i = 0; i < variant.mask.size(); ++i) {
    if (variant.mask[i] != 0) variant.offsets.push_back(i);
  }
  variant.width = shape[0].size();
  variant.shape = std::move(shape);
  return variant;
}

Shape Piece::rotate(Shape shape) {
  const std::size_t h = shape.size();
  const std::size_t w = shape[0].size();
  Shape result(w, std::vector<bool>(h));
  for (std::size_t j = 0; j < w; ++j) {
    for (std::size_t k = 0; k < h; ++k)
      result[j][k] = shape[h - 1 - k][j];
  }
  return result;
}

Shape Piece::flip(Shape shape) {
  for (auto& row : shape)
    std::reverse(row.begin(), row.end());
  return shape;
}

Piece Piece::make(std::uint8_t kind, std::size_t dim) {
  Piece piece;
  piece.shape = parse_shape(kBaseShapes.at(kind));
  piece.id = kind;
  for (const auto& row : piece.shape) {
    piece.size += static_cast<std::uint32_t>(std::count(row.begin(), row.end(), true));
  }
  auto add_turns = [&](Shape current) {
    for (int turn = 0; turn < 4; ++turn) {
      PieceVariant candidate = PieceVariant::make(current, dim);
      const bool seen =
          std::any_of(piece.variants.begin(), piece.variants.end(),
                      [&](const PieceVariant& variant) { return variant.mask == candidate.mask; });
      if (!seen) piece.variants.push_back(std::move(candidate));
      current = rotate(std::move(current));
    }
  };
  add_turns(piece.shape);
  add_turns(flip(piece.shape));
  return piece;
}

std::size_t PlacementHash::operator()(const Placement& p) const {
  std::size_t h = std::hash<std::size_t>{}(p.piece_index);
  h = h * 31 + std::hash<std::size_t>{}(p.variant_index);
  h = h * 31 + std::hash<std::size_t>{}(p.anchor);
  return h;
}

Board Board::make(std::size_t dim) {
  Board board;
  std::vector<Piece> set;
  for (std::uint8_t kind = 0; kind < kBaseShapes.size(); ++kind) {
    set.push_back(Piece::make(kind, dim));
  }
  for (std::size_t p = 0; p < 4; ++p) {
    board.pieces[p] = set;
    board.corners[p].insert(start_corner(p, dim));
  }
  board.cells.assign(dim * dim, 0);
  board.dim = dim;
  const auto d = static_cast<std::int32_t>(dim);
  board.diagonals = {d + 1, -(d + 1), 1 - d, d - 1};
  return board;
}

bool Board::is_valid_move(std::size_t player, const PieceVariant& variant,
                          std::size_t anchor) const {
  if (anchor + variant.mask.size() > dim * dim) return false;
  if (anchor % dim + variant.width > dim) return false;
  const std::uint8_t closed = static_cast<std::uint8_t>(0x10U << player);
  for (std::size_t i = 0; i < variant.mask.size(); ++i) {
    if (variant.mask[i] != 0 && (cells[anchor + i] & closed) != 0) return false;
  }
  const auto& own_corners = corners.at(player);
  if (variant.offsets.empty() || own_corners.empty()) return false;
  for (std::size_t offset : variant.offsets) {
    if (own_corners.count(anchor + offset) != 0) return true;
  }
  return false;
}

void Board::place_tile(std::size_t cell, std::size_t player) {
  if (cell >= cells.size()) throw std::out_of_range("cell off the board");
  const std::uint8_t closed = static_cast<std::uint8_t>(0x10U << player);
  cells[cell] = static_cast<std::uint8_t>((player + 1) | 0xF0);
  for (auto& set : corners)
    set.erase(cell);

  const std::size_t col = cell % dim;
  auto close = [&](std::size_t n) {
    cells[n] |= closed;
    corners[player].erase(n);
  };
  if (col != 0) close(cell - 1);
  if (col < dim - 1) close(cell + 1);
  if (cell >= dim) close(cell - dim);
  if (cell < (dim - 1) * dim) close(cell + dim);

  const auto count = static_cast<std::int64_t>(cells.size());
  for (std::int32_t d : diagonals) {
    const std::int64_t n = static_cast<std::int64_t>(cell) + d;
    if (n < 0 || n >= count) continue;
    const auto un = static_cast<std::size_t>(n);
    if ((cells[un] & closed) != 0) continue;
    if (col == 0 && un % dim == dim - 1) continue;
    if (col == dim - 1 && un % dim == 0) continue;
    corners[player].insert(un);
  }
}

std::array<std::int32_t, 4> Board::get_scores(
    const std::array<std::uint32_t, 4>& last_piece_sizes) const {
  std::array<std::int32_t, 4> scores{};
  for (std::size_t p = 0; p < 4; ++p) {
    const auto squares = static_cast<std::int32_t>(std::count_if(
        cells.begin(), cells.end(), [&](std::uint8_t cell) { return (cell & 0x0F) == p + 1; }));
    scores[p] = squares - static_cast<std::int32_t>(kTotalSquares);
    if (pieces[p].empty()) scores[p] = squares - (last_piece_sizes[p] == 1 ? 69 : 74);
  }
  return scores;
}

TileMoveMap get_tile_moves(const Board& board, std::size_t player) {
  TileMoveMap map;
  const auto& pieces = board.pieces.at(player);
  for (std::size_t piece_index = 0; piece_index < pieces.size(); ++piece_index) {
    const Piece& piece = pieces[piece_index];
    for (std::size_t corner : board.corners[player]) {
      for (std::size_t variant_index = 0; variant_index < piece.variants.size(); ++variant_index) {
        const PieceVariant& variant = piece.variants[variant_index];
        for (std::size_t offset : variant.offsets) {
          if (corner < offset) continue;
          const std::size_t anchor = corner - offset;
          if (!board.is_valid_move(player, variant, anchor)) continue;
          const Placement placement{piece_index, variant_index, anchor};
          for (std::size_t j = 0; j < variant.mask.size(); ++j) {
            if (variant.mask[j] != 0) map[anchor + j].insert(placement);
          }
        }
      }
    }
  }
  return map;
}

Game Game::make(std::size_t dim) {
  Game game;
  game.board = Board::make(dim);
  game.tile_moves = get_tile_moves(game.board, 0);
  return game;
}

std::optional<std::string> Game::apply(std::size_t tile) {
  board.place_tile(tile, current_player);
  history.emplace_back(static_cast<std::int32_t>(current_player), static_cast<std::int32_t>(tile));

  auto found = tile_moves.find(tile);
  if (found == tile_moves.end()) {
    return "Invalid move - Player " + std::to_string(current_player) + ", Tile " +
           std::to_string(tile);
  }
  const PlacementSet valid = std::move(found->second);
  tile_moves.erase(found);

  for (auto it = tile_moves.begin(); it != tile_moves.end();) {
    const PlacementSet& set = it->second;
    const PlacementSet& smaller = set.size() <= valid.size() ? set : valid;
    const PlacementSet& larger = set.size() <= valid.size() ? valid : set;
    PlacementSet kept;
    for (const Placement& placement : smaller) {
      if (larger.count(placement) != 0) kept.insert(placement);
    }
    if (kept.empty()) {
      it = tile_moves.erase(it);
    } else {
      it->second = std::move(kept);
      ++it;
    }
  }

  if (!tile_moves.empty()) return std::nullopt;
  if (valid.empty()) return "valid_moves must be non-empty";
  const std::size_t piece_index = valid.begin()->piece_index;
  auto& pieces = board.pieces[current_player];
  last_piece_sizes[current_player] = pieces.at(piece_index).size;
  pieces.erase(pieces.begin() + static_cast<std::ptrdiff_t>(piece_index));
  advance_player();
  return std::nullopt;
}

std::size_t Game::advance_player() {
  while (!is_terminal()) {
    current_player = (current_player + 1) % 4;
    tile_moves = get_tile_moves(board, current_player);
    if (!finished[current_player]) {
      if (!tile_moves.empty()) return current_player;
      finished[current_player] = true;
    }
  }
  return current_player;
}

std::vector<std::size_t> Game::get_legal_tiles() const {
  std::vector<std::size_t> tiles;
  for (const auto& entry : tile_moves)
    tiles.push_back(entry.first);
  return tiles;
}

std::vector<Placement> Game::placements(std::size_t tile) const {
  auto found = tile_moves.find(tile);
  if (found == tile_moves.end()) return {};
  std::vector<Placement> result(found->second.begin(), found->second.end());
  std::sort(result.begin(), result.end());
  return result;
}

std::array<float, 4> Game::get_payoff() const {
  const auto scores = board.get_scores(last_piece_sizes);
  std::vector<std::size_t> winners;
  for (std::size_t p = 0; p < 4; ++p) {
    if (winners.empty() || scores[p] > scores[winners.front()]) {
      winners.assign(1, p);
    } else if (scores[p] == scores[winners.front()]) {
      winners.push_back(p);
    }
  }
  std::array<float, 4> payoff{};
  for (std::size_t p : winners)
    payoff[p] = 1.0F / static_cast<float>(winners.size());
  return payoff;
}

}  // namespace straightforward

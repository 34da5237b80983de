#include "oracle.h"

#include <algorithm>
#include <set>
#include <sstream>
#include <stdexcept>

namespace oracle {
namespace {

// The piece table, rows separated by '/', X a square.
const std::array<std::string, kKinds> kPictures = {
    "X",            // 0 I1
    "XX",           // 1 I2
    "XX/.X",        // 2 V3
    "XXX",          // 3 I3
    "XXXX",         // 4 I4
    "XX/X./X.",     // 5 L4
    "XXX/.X.",      // 6 T4
    "XX/XX",        // 7 O4
    "XX./.XX",      // 8 Z4
    "XXXXX",        // 9 I5
    "XXXX/X...",    // 10 L5
    "XXX./..XX",    // 11 N5
    "XXX/XX.",      // 12 P5
    "XXX/X../X..",  // 13 V5
    "XX./.XX/..X",  // 14 W5
    "XX./.X./.XX",  // 15 Z5
    "XXX/X.X",      // 16 U5
    "XXXX/.X..",    // 17 Y5
    ".X./XXX/.X.",  // 18 X5
    ".X./XXX/X..",  // 19 F5
    "XXX/.X./.X.",  // 20 T5
};

CellSet cells_of_picture(const std::string& picture) {
  CellSet cells;
  int row = 0;
  int col = 0;
  for (char c : picture) {
    if (c == '/') {
      ++row;
      col = 0;
      continue;
    }
    if (c == 'X') cells.emplace_back(row, col);
    ++col;
  }
  return normalise(cells);
}

// All orientations of every kind, built once: the eight maps (r, c) -> (+-r, +-c) and
// (r, c) -> (+-c, +-r) applied to the base shape, duplicates removed.
const std::array<std::vector<CellSet>, kKinds>& all_orientations() {
  static const std::array<std::vector<CellSet>, kKinds> table = [] {
    std::array<std::vector<CellSet>, kKinds> result;
    for (int kind = 0; kind < kKinds; ++kind) {
      const CellSet base = cells_of_picture(kPictures[kind]);
      std::set<CellSet> distinct;
      for (int swap = 0; swap < 2; ++swap) {
        for (int row_sign : {1, -1}) {
          for (int col_sign : {1, -1}) {
            CellSet moved;
            for (auto [r, c] : base) {
              if (swap != 0) std::swap(r, c);
              moved.emplace_back(row_sign * r, col_sign * c);
            }
            distinct.insert(normalise(moved));
          }
        }
      }
      result[kind].assign(distinct.begin(), distinct.end());
    }
    return result;
  }();
  return table;
}

std::string invalid_move_text(int player, int tile) {
  return "Invalid move - Player " + std::to_string(player) + ", Tile " + std::to_string(tile);
}

}  // namespace

const std::string& base_picture(int kind) {
  return kPictures.at(kind);
}

int kind_size(int kind) {
  return static_cast<int>(std::count(kPictures.at(kind).begin(), kPictures.at(kind).end(), 'X'));
}

const std::vector<CellSet>& orientations(int kind) {
  return all_orientations().at(kind);
}

CellSet normalise(CellSet cells) {
  if (cells.empty()) return cells;
  int min_row = cells[0].first;
  int min_col = cells[0].second;
  for (auto [r, c] : cells) {
    min_row = std::min(min_row, r);
    min_col = std::min(min_col, c);
  }
  for (auto& [r, c] : cells) {
    r -= min_row;
    c -= min_col;
  }
  std::sort(cells.begin(), cells.end());
  return cells;
}

bool PiecePosition::covers(int cell) const {
  return std::find(cells.begin(), cells.begin() + count, cell) != cells.begin() + count;
}

std::string to_string(const PiecePosition& position, int dim) {
  std::ostringstream out;
  out << "kind " << position.kind << " (" << kPictures.at(position.kind) << ") on {";
  for (int i = 0; i < position.count; ++i) {
    const int cell = position.cells[i];
    out << (i == 0 ? "" : ", ") << cell << "=(" << cell / dim << "," << cell % dim << ")";
  }
  out << "}";
  return out.str();
}

std::array<float, kPlayers> payoff_of(const std::array<int, kPlayers>& scores) {
  const int best = *std::max_element(scores.begin(), scores.end());
  const int winners = static_cast<int>(std::count(scores.begin(), scores.end(), best));
  std::array<float, kPlayers> payoff{};
  for (int p = 0; p < kPlayers; ++p) {
    if (scores[p] == best) payoff[p] = 1.0F / static_cast<float>(winners);
  }
  return payoff;
}

ReferenceGame::ReferenceGame(int dim) : dim_(dim), owner_(static_cast<std::size_t>(dim * dim), -1) {
  if (dim < 4) throw std::out_of_range("board side below 4");
  for (auto& held : holds_)
    held.fill(true);
  live_ = valid_positions(0);
  legal_ = cells_of_live();
}

int ReferenceGame::start_corner(int player) const {
  switch (player) {
    case 0:
      return 0;
    case 1:
      return dim_ - 1;
    case 2:
      return dim_ * dim_ - 1;
    default:
      return (dim_ - 1) * dim_;
  }
}

bool ReferenceGame::owned_by(int row, int col, int player) const {
  if (row < 0 || row >= dim_ || col < 0 || col >= dim_) return false;
  return owner_[row * dim_ + col] == player;
}

bool ReferenceGame::closed_to(int cell, int player) const {
  if (owner_[cell] != -1) return true;
  const int row = cell / dim_;
  const int col = cell % dim_;
  return owned_by(row - 1, col, player) || owned_by(row + 1, col, player) ||
         owned_by(row, col - 1, player) || owned_by(row, col + 1, player);
}

std::vector<int> ReferenceGame::corner_cells(int player) const {
  std::vector<int> result;
  for (int cell = 0; cell < dim_ * dim_; ++cell) {
    if (closed_to(cell, player)) continue;
    const int row = cell / dim_;
    const int col = cell % dim_;
    const bool diagonal = owned_by(row - 1, col - 1, player) ||
                          owned_by(row - 1, col + 1, player) ||
                          owned_by(row + 1, col - 1, player) || owned_by(row + 1, col + 1, player);
    if (diagonal || cell == start_corner(player)) result.push_back(cell);
  }
  return result;
}

std::vector<int> ReferenceGame::remaining_kinds(int player) const {
  std::vector<int> kinds;
  for (int kind = 0; kind < kKinds; ++kind) {
    if (holds_[player][kind]) kinds.push_back(kind);
  }
  return kinds;
}

bool ReferenceGame::over() const {
  return std::all_of(finished_.begin(), finished_.end(), [](bool f) { return f; });
}

std::vector<PiecePosition> ReferenceGame::valid_positions(int player) const {
  const int cells = dim_ * dim_;
  std::vector<char> allowed(cells, 0);
  std::vector<char> corner(cells, 0);
  for (int cell = 0; cell < cells; ++cell)
    allowed[cell] = closed_to(cell, player) ? 0 : 1;
  for (int cell : corner_cells(player))
    corner[cell] = 1;
  // corners_above_left[r * (dim + 1) + c]: corner cells in rows < r and columns < c, so that a
  // bounding box without any corner cell is skipped at once.
  const int stride = dim_ + 1;
  std::vector<int> corners_above_left(static_cast<std::size_t>(stride * stride), 0);
  for (int r = 0; r < dim_; ++r) {
    for (int c = 0; c < dim_; ++c) {
      corners_above_left[(r + 1) * stride + c + 1] =
          corner[r * dim_ + c] + corners_above_left[r * stride + c + 1] +
          corners_above_left[(r + 1) * stride + c] - corners_above_left[r * stride + c];
    }
  }
  const auto corners_in_box = [&](int top, int left, int height, int width) {
    return corners_above_left[(top + height) * stride + left + width] -
           corners_above_left[top * stride + left + width] -
           corners_above_left[(top + height) * stride + left] +
           corners_above_left[top * stride + left];
  };

  std::vector<PiecePosition> result;
  for (int kind = 0; kind < kKinds; ++kind) {
    if (!holds_[player][kind]) continue;
    for (const CellSet& shape : orientations(kind)) {
      int height = 0;
      int width = 0;
      for (auto [r, c] : shape) {
        height = std::max(height, r + 1);
        width = std::max(width, c + 1);
      }
      for (int top = 0; top + height <= dim_; ++top) {
        for (int left = 0; left + width <= dim_; ++left) {
          if (corners_in_box(top, left, height, width) == 0) continue;
          PiecePosition position;
          position.kind = kind;
          bool fits = true;
          bool touches = false;
          for (auto [r, c] : shape) {
            const int cell = (top + r) * dim_ + (left + c);
            if (allowed[cell] == 0) {
              fits = false;
              break;
            }
            touches = touches || corner[cell] != 0;
            position.cells[position.count++] = cell;
          }
          if (fits && touches) result.push_back(position);
        }
      }
    }
  }
  std::sort(result.begin(), result.end());
  return result;
}

std::vector<int> ReferenceGame::cells_of_live() const {
  std::vector<char> covered(static_cast<std::size_t>(dim_ * dim_), 0);
  for (const PiecePosition& position : live_) {
    for (int i = 0; i < position.count; ++i)
      covered[position.cells[i]] = 1;
  }
  for (int tile : played_)
    covered[tile] = 0;
  std::vector<int> tiles;
  for (int cell = 0; cell < dim_ * dim_; ++cell) {
    if (covered[cell] != 0) tiles.push_back(cell);
  }
  return tiles;
}

std::vector<PiecePosition> ReferenceGame::positions_through(int tile) const {
  std::vector<PiecePosition> result;
  if (std::find(played_.begin(), played_.end(), tile) != played_.end()) return result;
  for (const PiecePosition& position : live_) {
    if (position.covers(tile)) result.push_back(position);
  }
  return result;
}

std::vector<std::vector<PiecePosition>> ReferenceGame::tile_map() const {
  std::vector<std::vector<PiecePosition>> map(static_cast<std::size_t>(dim_ * dim_));
  for (const PiecePosition& position : live_) {  // live_ is sorted, so every list is too
    for (int i = 0; i < position.count; ++i)
      map[position.cells[i]].push_back(position);
  }
  for (int tile : played_)
    map[tile].clear();
  return map;
}

std::array<int, kPlayers> ReferenceGame::scores() const {
  std::array<int, kPlayers> result{};
  for (int p = 0; p < kPlayers; ++p) {
    const int squares = static_cast<int>(std::count(owner_.begin(), owner_.end(), p));
    if (!remaining_kinds(p).empty()) {
      result[p] = squares - 89;
    } else if (last_sizes_[p] == 1) {
      result[p] = squares - 69;
    } else {
      result[p] = squares - 74;
    }
  }
  return result;
}

ReferenceGame::Outcome ReferenceGame::play(int tile, std::optional<int> piece_index) {
  if (tile < 0 || tile >= dim_ * dim_) throw std::out_of_range("tile off the board");
  if (!std::binary_search(legal_.begin(), legal_.end(), tile)) {
    return {invalid_move_text(current_, tile), std::nullopt};
  }
  const std::vector<int> kinds = remaining_kinds(current_);
  if (piece_index && (*piece_index < 0 || *piece_index >= static_cast<int>(kinds.size()))) {
    throw std::out_of_range("piece index past the end");
  }

  owner_[tile] = current_;
  history_.emplace_back(current_, tile);
  played_.push_back(tile);
  std::erase_if(live_, [tile](const PiecePosition& p) { return !p.covers(tile); });
  legal_ = cells_of_live();

  int kind = -1;
  if (piece_index) {
    kind = kinds[*piece_index];
  } else {
    if (!legal_.empty()) return {};
    // Every live position now covers exactly the tiles played: they are one piece.
    std::vector<int> played = played_;
    std::sort(played.begin(), played.end());
    for (const PiecePosition& position : live_) {
      const std::vector<int> cells(position.cells.begin(), position.cells.begin() + position.count);
      if (position.kind != live_.front().kind || cells != played) {
        throw std::logic_error("reference model: live positions disagree at completion");
      }
    }
    if (live_.empty()) throw std::logic_error("reference model: no live position at completion");
    kind = live_.front().kind;
  }
  holds_[current_][kind] = false;
  last_sizes_[current_] = static_cast<std::uint32_t>(kind_size(kind));
  pass_turn();
  return {std::nullopt, kind};
}

void ReferenceGame::pass_turn() {
  played_.clear();
  live_.clear();
  while (!over()) {
    current_ = (current_ + 1) % kPlayers;
    if (finished_[current_]) continue;
    live_ = valid_positions(current_);
    if (!live_.empty()) break;
    finished_[current_] = true;
  }
  legal_ = cells_of_live();
}

}  // namespace oracle

#include "tile_moves.h"

#include <algorithm>
#include <bit>
#include <string>

#include "cell_bits.h"
#include "fatal.h"

namespace tessarin {
namespace {

constexpr std::uint64_t kWindowRowBits = (std::uint64_t{1} << kWindowSide) - 1;
// The window bits before the centre in row-major order, i.e. the cells of lower index.
constexpr WindowMask kBeforeCentre = (WindowMask{1} << kWindowCentre) - 1;

// The bits of `cells` in the window centred on (row, col), rows up to `last_dr` below the centre.
// With `off_board_set`, window cells that lie off the board are set as well.
WindowMask window_of(const std::uint64_t* cells, std::size_t dim, std::size_t row, std::size_t col,
                     int last_dr, bool off_board_set) {
  const auto first_col = static_cast<std::ptrdiff_t>(col) - kWindowReach;
  const auto start = static_cast<std::size_t>(std::max<std::ptrdiff_t>(first_col, 0));
  const std::size_t end = std::min(col + kWindowReach + 1, dim);
  const auto count = static_cast<unsigned>(end - start);
  const auto shift = static_cast<unsigned>(static_cast<std::ptrdiff_t>(start) - first_col);
  const std::uint64_t on_board = ((std::uint64_t{1} << count) - 1) << shift;
  const std::uint64_t off_board = off_board_set ? kWindowRowBits & ~on_board : 0;

  WindowMask window = 0;
  for (int dr = -kWindowReach; dr <= last_dr; ++dr) {
    const auto r = static_cast<std::ptrdiff_t>(row) + dr;
    std::uint64_t bits;
    if (r < 0 || r >= static_cast<std::ptrdiff_t>(dim)) {
      bits = off_board_set ? kWindowRowBits : 0;
    } else {
      bits =
          (cell_bits::extract(cells, static_cast<std::size_t>(r) * dim + start, count) << shift) |
          off_board;
    }
    window |= WindowMask{bits} << ((dr + kWindowReach) * kWindowSide);
  }
  return window;
}

// Per-thread scratch of one counter per cell, zero between uses.
std::vector<std::uint32_t>& cell_scratch(std::size_t cells) {
  thread_local std::vector<std::uint32_t> scratch;
  if (scratch.size() < cells) scratch.resize(cells, 0);
  return scratch;
}

}  // namespace

std::size_t TileMoveTable::find_key(std::size_t tile) const {
  const auto it = std::lower_bound(keys_.begin(), keys_.end(), tile);
  if (it == keys_.end() || *it != tile) return kNoKey;
  return static_cast<std::size_t>(it - keys_.begin());
}

Placement TileMoveTable::placement(std::size_t id) const {
  const PlacementRecord& record = records_[id];
  return {record.piece_index, record.variant_index, record.anchor};
}

std::shared_ptr<const TileMoveTable> build_tile_move_table(const Board& board, std::size_t player) {
  check_player(player);
  auto table = std::make_shared<TileMoveTable>();
  table->player_ = player;
  table->dim_ = board.dim();
  const std::size_t dim = board.dim();
  const PieceSet& set = board.piece_set();
  const std::uint32_t held = board.pieces(player).kinds();
  const std::uint64_t* closed = board.closed_words(player);
  const std::uint64_t* corners = board.corner_words(player);

  // Built in per-thread scratch, then copied out at its final size.
  thread_local std::vector<PlacementRecord> records;
  records.clear();

  // Every valid placement covers some corner cell; it is recorded only at the lowest corner cell
  // it covers, so each placement is listed once.
  cell_bits::for_each(corners, board.words_per_set(), [&](std::size_t corner) {
    const std::size_t row = corner / dim;
    const std::size_t col = corner % dim;
    const WindowMask blocked = window_of(closed, dim, row, col, kWindowReach, true) |
                               (window_of(corners, dim, row, col, 0, false) & kBeforeCentre);
    const unsigned open_arms = ~arms_of(blocked) & (kArmSets - 1);
    std::uint8_t piece_index = 0;
    for (std::uint32_t kinds = held; kinds != 0; kinds &= kinds - 1, ++piece_index) {
      const auto kind = static_cast<std::uint8_t>(std::countr_zero(kinds));
      const auto size = static_cast<std::uint8_t>(set.piece(kind).size);
      // Every subset of the open arms, the empty set last.
      for (unsigned arms = open_arms;; arms = (arms - 1) & open_arms) {
        for (const WindowEntry& entry : set.windows(kind, arms)) {
          if ((entry.cells & blocked) != 0 || entry.offset > corner) continue;
          records.push_back({entry.cells, static_cast<std::uint32_t>(corner - entry.offset),
                             static_cast<std::uint32_t>(corner), static_cast<std::uint16_t>(row),
                             static_cast<std::uint16_t>(col), piece_index, entry.variant, kind,
                             size});
        }
        if (arms == 0) break;
      }
    }
  });

  // Index the placements by cell: count per cell, then fill in placement order.
  const std::size_t words = board.words_per_set();
  std::vector<std::uint32_t>& count = cell_scratch(board.cell_count());
  thread_local std::vector<std::uint64_t> key_bits;
  key_bits.assign(words, 0);
  const auto& deltas = set.window_deltas();
  auto for_each_cell = [&](const PlacementRecord& record, auto&& f) {
    const std::uint64_t halves[2] = {static_cast<std::uint64_t>(record.cells),
                                     static_cast<std::uint64_t>(record.cells >> 64)};
    cell_bits::for_each(halves, 2, [&](std::size_t bit) {
      f(static_cast<std::size_t>(static_cast<std::int64_t>(record.origin) + deltas[bit]));
    });
  };
  for (const PlacementRecord& record : records) {
    for_each_cell(record, [&](std::size_t cell) {
      ++count[cell];
      cell_bits::set(key_bits.data(), cell);
    });
  }
  auto& keys = table->keys_;
  auto& begin = table->member_begin_;
  std::size_t key_count = 0;
  for (std::size_t w = 0; w < words; ++w)
    key_count += static_cast<std::size_t>(std::popcount(key_bits[w]));
  keys.reserve(key_count);
  begin.reserve(key_count + 1);
  begin.push_back(0);
  cell_bits::for_each(key_bits.data(), words, [&](std::size_t key) {
    const std::uint32_t members = count[key];
    if (members > kMaxPlacementsPerCell) {
      fatal("Move generation found " + std::to_string(members) + " placements through cell " +
            std::to_string(key) + ", more than " + std::to_string(kMaxPlacementsPerCell));
    }
    keys.push_back(static_cast<std::uint32_t>(key));
    count[key] = begin.back();  // now the next free slot of this key
    begin.push_back(begin.back() + members);
  });
  table->members_.resize(begin.back());
  for (std::size_t id = 0; id < records.size(); ++id) {
    for_each_cell(records[id], [&](std::size_t cell) {
      table->members_[count[cell]++] = static_cast<std::uint32_t>(id);
    });
  }
  for (std::uint32_t key : keys)
    count[key] = 0;
  table->records_.assign(records.begin(), records.end());
  return table;
}

TileMoves::TileMoves(std::shared_ptr<const TileMoveTable> table) : table_(std::move(table)) {}

bool TileMoves::empty() const {
  if (table_ == nullptr) return true;
  return played_count_ == 0 ? table_->keys().empty() : keys_ == 0;
}

int TileMoves::bit_of(std::size_t tile) const {
  const std::size_t dim = table_->dim();
  const auto dr = static_cast<std::ptrdiff_t>(tile / dim) - first_row_;
  const auto dc = static_cast<std::ptrdiff_t>(tile % dim) - first_col_;
  if (dr < -kWindowReach || dr > kWindowReach || dc < -kWindowReach || dc > kWindowReach) {
    return -1;
  }
  return window_bit(static_cast<int>(dr), static_cast<int>(dc));
}

WindowMask TileMoves::around(const PlacementRecord& record, int row, int col) {
  const int shift = (record.origin_row - row) * kWindowSide + (record.origin_col - col);
  return shift >= 0 ? record.cells << shift : record.cells >> -shift;
}

template <class F>
void TileMoves::for_each_live(F&& f) const {
  const auto members = table_->members(first_key_);
  for (std::size_t w = 0; w < kLiveWords; ++w) {
    for (std::uint64_t bits = live_[w]; bits != 0; bits &= bits - 1) {
      f(members[w * 64 + static_cast<std::size_t>(std::countr_zero(bits))]);
    }
  }
}

bool TileMoves::contains(std::size_t tile) const {
  if (table_ == nullptr || tile >= table_->dim() * table_->dim()) return false;
  if (played_count_ == 0) return table_->find_key(tile) != TileMoveTable::kNoKey;
  const int bit = bit_of(tile);
  return bit >= 0 && ((keys_ >> bit) & 1) != 0;
}

void TileMoves::legal_tiles(std::vector<std::size_t>& out) const {
  out.clear();
  if (table_ == nullptr) return;
  if (played_count_ == 0) {
    out.assign(table_->keys().begin(), table_->keys().end());
    return;
  }
  const std::size_t dim = table_->dim();
  const std::uint64_t halves[2] = {static_cast<std::uint64_t>(keys_),
                                   static_cast<std::uint64_t>(keys_ >> 64)};
  cell_bits::for_each(halves, 2, [&](std::size_t bit) {
    const std::size_t row = first_row_ + bit / kWindowSide - kWindowReach;
    const std::size_t col = first_col_ + bit % kWindowSide - kWindowReach;
    out.push_back(row * dim + col);
  });
}

std::vector<std::size_t> TileMoves::legal_tiles() const {
  std::vector<std::size_t> tiles;
  legal_tiles(tiles);
  return tiles;
}

std::vector<Placement> TileMoves::placements(std::size_t tile) const {
  std::vector<Placement> set;
  if (!contains(tile)) return set;
  if (played_count_ == 0) {
    for (std::uint32_t id : table_->members(table_->find_key(tile))) {
      set.push_back(table_->placement(id));
    }
  } else {
    const int bit = bit_of(tile);
    for_each_live([&](std::uint32_t id) {
      if (((around_first(table_->records()[id]) >> bit) & 1) != 0) {
        set.push_back(table_->placement(id));
      }
    });
  }
  std::sort(set.begin(), set.end());
  return set;
}

TileMoves::Narrowing TileMoves::narrow(std::size_t tile) {
  if (!contains(tile)) return {false, false, std::nullopt};
  // The new state is worked out aside and kept only when the tile's set is not empty.
  const auto records = table_->records();
  std::optional<std::size_t> first_piece;
  WindowMask reachable = 0;
  if (played_count_ == 0) {
    const std::size_t dim = table_->dim();
    const auto first_key = static_cast<std::uint32_t>(table_->find_key(tile));
    const auto row = static_cast<std::uint16_t>(tile / dim);
    const auto col = static_cast<std::uint16_t>(tile % dim);
    const auto members = table_->members(first_key);
    std::array<std::uint64_t, kLiveWords> live{};
    for (std::size_t i = 0; i < members.size(); ++i) {
      live[i / 64] |= std::uint64_t{1} << (i % 64);
      reachable |= around(records[members[i]], row, col);
    }
    if (members.empty()) return {true, true, std::nullopt};
    first_piece = records[members.front()].piece_index;
    first_key_ = first_key;
    first_row_ = row;
    first_col_ = col;
    live_ = live;
    played_ = WindowMask{1} << kWindowCentre;
  } else {
    const int bit = bit_of(tile);
    const auto members = table_->members(first_key_);
    std::array<std::uint64_t, kLiveWords> kept{};
    for (std::size_t w = 0; w < kLiveWords; ++w) {
      for (std::uint64_t bits = live_[w]; bits != 0; bits &= bits - 1) {
        const std::size_t i = w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
        const PlacementRecord& record = records[members[i]];
        const WindowMask cells = around_first(record);
        if (((cells >> bit) & 1) == 0) continue;
        kept[w] |= bits & -bits;
        reachable |= cells;
        if (!first_piece) first_piece = record.piece_index;
      }
    }
    if (!first_piece) return {true, true, std::nullopt};
    live_ = kept;
    played_ |= WindowMask{1} << bit;
  }
  ++played_count_;
  keys_ = reachable & ~played_;
  return {true, keys_ == 0, first_piece};
}

TileMoves get_tile_moves(const Board& board, std::size_t player) {
  return TileMoves(build_tile_move_table(board, player));
}

}  // namespace tessarin

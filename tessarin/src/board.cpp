#include "board.h"

#include <bit>
#include <iostream>
#include <string>

#include "fatal.h"

namespace tessarin {
namespace {

constexpr std::uint32_t kAllKinds = (std::uint32_t{1} << kPieceKinds) - 1;

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
      fatal("Invalid player number\n");
  }
}

}  // namespace

void check_player(std::size_t player) {
  if (player >= kPlayers) {
    fatal("Invalid player number " + std::to_string(player) + ": players are 0 to 3");
  }
}

std::size_t PieceList::size() const {
  return static_cast<std::size_t>(std::popcount(kinds_));
}

std::size_t PieceList::kind(std::size_t index) const {
  std::uint32_t kinds = kinds_;
  for (std::size_t i = 0; i < index; ++i)
    kinds &= kinds - 1;
  return static_cast<std::size_t>(std::countr_zero(kinds));
}

Board::Board(std::size_t dim) : dim_(dim), cell_count_(0), words_per_set_(0), pieces_{} {
  if (dim < 4) {
    fatal("Invalid board side " + std::to_string(dim) + ": the pieces need a side of at least 4");
  }
  if (dim > kMaxDim) {
    fatal("Invalid board side " + std::to_string(dim) + ": the largest side is " +
          std::to_string(kMaxDim));
  }
  piece_set_ = PieceSet::for_dim(dim);
  cell_count_ = dim * dim;
  words_per_set_ = cell_bits::words_for(cell_count_);
  words_ = WordBuffer<kInlineWords>(3 * kPlayers * words_per_set_);
  for (std::size_t p = 0; p < kPlayers; ++p) {
    pieces_[p] = kAllKinds;
    cell_bits::set(set_words(kCornerSets, p), start_corner(p, dim));
  }
}

std::uint8_t Board::cell(std::size_t index) const {
  if (index >= cell_count_) {
    fatal("Cell " + std::to_string(index) + " is off a board of " + std::to_string(cell_count_) +
          " cells");
  }
  std::uint8_t byte = static_cast<std::uint8_t>(owner(index));
  for (std::size_t p = 0; p < kPlayers; ++p) {
    if (cell_bits::test(set_words(kClosedSets, p), index))
      byte |= static_cast<std::uint8_t>(0x10 << p);
  }
  return byte;
}

std::size_t Board::owner(std::size_t index) const {
  for (std::size_t p = 0; p < kPlayers; ++p) {
    if (cell_bits::test(set_words(kOwnSets, p), index)) return p + 1;
  }
  return 0;
}

std::vector<std::size_t> Board::corners(std::size_t player) const {
  check_player(player);
  std::vector<std::size_t> cells;
  cell_bits::for_each(set_words(kCornerSets, player), words_per_set_,
                      [&](std::size_t cell) { cells.push_back(cell); });
  return cells;
}

std::array<std::int32_t, 4> Board::diagonals() const {
  const auto d = static_cast<std::int32_t>(dim_);
  return {d + 1, -(d + 1), 1 - d, d - 1};
}

PieceList Board::pieces(std::size_t player) const {
  check_player(player);
  return {piece_set_.get(), pieces_[player]};
}

std::uint32_t Board::remove_piece(std::size_t player, std::size_t index) {
  const PieceList list = pieces(player);
  if (index >= list.size()) {
    fatal("Piece index " + std::to_string(index) + " is past the end of player " +
          std::to_string(player) + "'s " + std::to_string(list.size()) + " pieces");
  }
  const std::size_t kind = list.kind(index);
  pieces_[player] &= ~(std::uint32_t{1} << kind);
  return piece_set_->piece(kind).size;
}

bool Board::is_valid_move(std::size_t player, const PieceVariant& variant,
                          std::size_t anchor) const {
  check_player(player);
  if (anchor > cell_count_ || variant.mask.size() > cell_count_ - anchor) return false;
  if (anchor % dim_ + variant.width > dim_) return false;
  const std::uint64_t* closed = set_words(kClosedSets, player);
  for (std::size_t offset : variant.offsets) {
    if (cell_bits::test(closed, anchor + offset)) return false;
  }
  const std::uint64_t* corners = set_words(kCornerSets, player);
  for (std::size_t offset : variant.offsets) {
    if (cell_bits::test(corners, anchor + offset)) return true;
  }
  return false;
}

void Board::place_tile(std::size_t cell, std::size_t player) {
  check_player(player);
  if (cell >= cell_count_) {
    fatal("Tile " + std::to_string(cell) + " is off a board of " + std::to_string(cell_count_) +
          " cells");
  }
  for (std::size_t p = 0; p < kPlayers; ++p) {
    cell_bits::clear(set_words(kOwnSets, p), cell);
    cell_bits::set(set_words(kClosedSets, p), cell);
    cell_bits::clear(set_words(kCornerSets, p), cell);
  }
  cell_bits::set(set_words(kOwnSets, player), cell);

  std::uint64_t* closed = set_words(kClosedSets, player);
  std::uint64_t* corners = set_words(kCornerSets, player);
  const std::size_t col = cell % dim_;
  auto close = [&](std::size_t neighbour) {
    cell_bits::set(closed, neighbour);
    cell_bits::clear(corners, neighbour);
  };
  if (col != 0) close(cell - 1);
  if (col + 1 < dim_) close(cell + 1);
  if (cell >= dim_) close(cell - dim_);
  if (cell < cell_count_ - dim_) close(cell + dim_);

  const auto signed_cell = static_cast<std::int64_t>(cell);
  for (std::int32_t step : diagonals()) {
    const std::int64_t target = signed_cell + step;
    if (target < 0 || target >= static_cast<std::int64_t>(cell_count_)) continue;
    const auto n = static_cast<std::size_t>(target);
    if (cell_bits::test(closed, n)) continue;
    const std::size_t target_col = n % dim_;
    if ((col == 0 && target_col == dim_ - 1) || (col == dim_ - 1 && target_col == 0)) continue;
    cell_bits::set(corners, n);
  }
}

std::array<std::int32_t, 4> Board::get_scores(
    const std::array<std::uint32_t, 4>& last_piece_sizes) const {
  std::array<std::int32_t, 4> scores{};
  for (std::size_t p = 0; p < kPlayers; ++p) {
    std::int32_t squares = 0;
    const std::uint64_t* own = set_words(kOwnSets, p);
    for (std::size_t w = 0; w < words_per_set_; ++w)
      squares += std::popcount(own[w]);
    if (pieces_[p] != 0) {
      scores[p] = squares - 89;
    } else if (last_piece_sizes[p] == 1) {
      scores[p] = squares - 69;
    } else {
      scores[p] = squares - 74;
    }
  }
  return scores;
}

StateTensor Board::get_rep(bool channels_last, std::size_t player) const {
  check_player(player);
  StateTensor rep;
  rep.shape = channels_last ? std::array<std::size_t, 3>{dim_, dim_, kPlayers}
                            : std::array<std::size_t, 3>{kPlayers, dim_, dim_};
  rep.data.assign(kPlayers * cell_count_, 0);
  write_rep(channels_last, player, kPlayers, rep.data.data());
  return rep;
}

void Board::write_rep(bool channels_last, std::size_t player, std::size_t planes,
                      std::uint8_t* out) const {
  check_player(player);
  for (std::size_t owner = 0; owner < kPlayers; ++owner) {
    const std::size_t plane = (owner + kPlayers - player) % kPlayers;
    cell_bits::for_each(set_words(kOwnSets, owner), words_per_set_, [&](std::size_t cell) {
      out[channels_last ? cell * planes + plane : plane * cell_count_ + cell] = 1;
    });
  }
}

std::string Board::render() const {
  // Red, blue, yellow and green squares for players 0 to 3, a white square for an empty cell.
  static constexpr const char* kSymbols[] = {"\xE2\xAC\x9C", "\xF0\x9F\x9F\xA5", "\xF0\x9F\x9F\xA6",
                                             "\xF0\x9F\x9F\xA8", "\xF0\x9F\x9F\xA9"};
  std::string text;
  text.reserve(cell_count_ * 4 + dim_);
  for (std::size_t row = 0; row < dim_; ++row) {
    for (std::size_t col = 0; col < dim_; ++col)
      text += kSymbols[owner(row * dim_ + col)];
    text += '\n';
  }
  return text;
}

void Board::print_board(std::ostream& out) const {
  out << render() << '\n';
}

void Board::print_board() const {
  print_board(std::cout);
}

}  // namespace tessarin

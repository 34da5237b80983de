#include "pieces.h"

#include <algorithm>
#include <array>
#include <string>

#include "fatal.h"

namespace tessarin {
namespace {

struct KindRow {
  std::string_view name;
  std::string_view rows;  // rows separated by '/', 'X' a square
};

// The variant order of every kind follows from these base shapes.
constexpr std::array<KindRow, kPieceKinds> kKinds{{
    {"I1", "X"},           {"I2", "XX"},          {"V3", "XX/.X"},       {"I3", "XXX"},
    {"I4", "XXXX"},        {"L4", "XX/X./X."},    {"T4", "XXX/.X."},     {"O4", "XX/XX"},
    {"Z4", "XX./.XX"},     {"I5", "XXXXX"},       {"L5", "XXXX/X..."},   {"N5", "XXX./..XX"},
    {"P5", "XXX/XX."},     {"V5", "XXX/X../X.."}, {"W5", "XX./.XX/..X"}, {"Z5", "XX./.X./.XX"},
    {"U5", "XXX/X.X"},     {"Y5", "XXXX/.X.."},   {"X5", ".X./XXX/.X."}, {"F5", ".X./XXX/X.."},
    {"T5", "XXX/.X./.X."},
}};

void check_kind(std::size_t kind) {
  if (kind >= kPieceKinds) {
    fatal("Invalid piece kind " + std::to_string(kind) + ": kinds are 0 to 20");
  }
}

}  // namespace

Shape base_shape(std::size_t kind) {
  check_kind(kind);
  Shape shape(1);
  for (char c : kKinds[kind].rows) {
    if (c == '/') {
      shape.emplace_back();
    } else {
      shape.back().push_back(c == 'X');
    }
  }
  return shape;
}

std::string_view piece_name(std::size_t kind) {
  check_kind(kind);
  return kKinds[kind].name;
}

PieceVariant::PieceVariant(Shape oriented, std::size_t dim) : shape(std::move(oriented)) {
  width = shape.front().size();
  for (std::size_t r = 0; r < shape.size(); ++r) {
    const auto& row = shape[r];
    mask.insert(mask.end(), row.begin(), row.end());
    if (r + 1 == shape.size()) break;
    if (row.size() > dim) {
      fatal("A piece row of width " + std::to_string(row.size()) +
            " does not fit a board of side " + std::to_string(dim) +
            " (the smallest board side is 4)");
    }
    mask.insert(mask.end(), dim - row.size(), 0);
  }
  for (std::size_t i = 0; i < mask.size(); ++i) {
    if (mask[i] != 0) offsets.push_back(i);
  }
}

Shape Piece::rotate(Shape shape) {
  const std::size_t h = shape.size();
  const std::size_t w = shape.front().size();
  Shape turned(w, std::vector<bool>(h));
  for (std::size_t j = 0; j < w; ++j) {
    for (std::size_t k = 0; k < h; ++k)
      turned[j][k] = shape[h - 1 - k][j];
  }
  return turned;
}

Shape Piece::flip(Shape shape) {
  for (auto& row : shape)
    std::reverse(row.begin(), row.end());
  return shape;
}

Piece::Piece(std::uint8_t kind, std::size_t dim) : shape(base_shape(kind)), id(kind), size(0) {
  for (const auto& row : shape) {
    for (bool square : row)
      size += square ? 1U : 0U;
  }
  // Candidates: the base turned 0..3 quarter turns, then the mirrored base turned 0..3 times;
  // a candidate whose mask repeats an earlier one is dropped.
  auto add_turns = [&](Shape current) {
    for (int turn = 0; turn < 4; ++turn) {
      PieceVariant candidate(current, dim);
      bool repeated = false;
      for (const auto& kept : variants)
        repeated = repeated || kept.mask == candidate.mask;
      if (!repeated) variants.push_back(std::move(candidate));
      current = rotate(std::move(current));
    }
  };
  add_turns(shape);
  add_turns(flip(shape));
}

}  // namespace tessarin

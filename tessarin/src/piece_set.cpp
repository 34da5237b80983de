#include "piece_set.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace tessarin {

PieceSet::PieceSet(std::size_t dim) : dim_(dim) {
  pieces_.reserve(kPieceKinds);
  for (std::size_t kind = 0; kind < kPieceKinds; ++kind) {
    pieces_.emplace_back(static_cast<std::uint8_t>(kind), dim);
  }
  for (std::size_t kind = 0; kind < kPieceKinds; ++kind) {
    const std::size_t kind_begin = windows_.size();
    variant_begin_[kind] = squares_.size();
    const Piece& piece = pieces_[kind];
    for (std::size_t v = 0; v < piece.variants.size(); ++v) {
      const PieceVariant& variant = piece.variants[v];
      VariantSquares squares{};
      for (std::size_t r = 0; r < variant.shape.size(); ++r) {
        for (std::size_t c = 0; c < variant.shape[r].size(); ++c) {
          if (!variant.shape[r][c]) continue;
          squares.row[squares.count] = static_cast<std::uint8_t>(r);
          squares.col[squares.count] = static_cast<std::uint8_t>(c);
          ++squares.count;
        }
      }
      squares_.push_back(squares);
      for (std::size_t centre = 0; centre < squares.count; ++centre) {
        WindowEntry entry{};
        for (std::size_t s = 0; s < squares.count; ++s) {
          const int dr = squares.row[s] - squares.row[centre];
          const int dc = squares.col[s] - squares.col[centre];
          entry.cells |= WindowMask{1} << window_bit(dr, dc);
        }
        entry.offset = static_cast<std::uint32_t>(variant.offsets[centre]);
        entry.variant = static_cast<std::uint8_t>(v);
        windows_.push_back(entry);
      }
    }
    // Group the kind's entries by arm set, keeping their order within a group.
    const auto kind_entries = windows_.begin() + static_cast<std::ptrdiff_t>(kind_begin);
    std::stable_sort(kind_entries, windows_.end(), [](const WindowEntry& a, const WindowEntry& b) {
      return arms_of(a.cells) < arms_of(b.cells);
    });
    std::size_t next = kind_begin;
    for (unsigned arms = 0; arms <= kArmSets; ++arms) {
      while (next < windows_.size() && arms_of(windows_[next].cells) < arms)
        ++next;
      arm_begin_[kind][arms] = next;
    }
  }
  variant_begin_[kPieceKinds] = squares_.size();
  const auto stride = static_cast<std::int64_t>(dim);
  for (int bit = 0; bit < kWindowSide * kWindowSide; ++bit) {
    window_deltas_[static_cast<std::size_t>(bit)] =
        (bit / kWindowSide - kWindowReach) * stride + (bit % kWindowSide - kWindowReach);
  }
}

std::shared_ptr<const PieceSet> PieceSet::for_dim(std::size_t dim) {
  static std::mutex mutex;
  static std::map<std::size_t, std::shared_ptr<const PieceSet>> cache;
  const std::lock_guard lock(mutex);
  auto& slot = cache[dim];
  if (slot == nullptr) {
    try {
      slot = std::make_shared<const PieceSet>(dim);
    } catch (...) {
      cache.erase(dim);
      throw;
    }
  }
  return slot;
}

}  // namespace tessarin

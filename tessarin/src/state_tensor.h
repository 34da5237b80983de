// A three-dimensional array of booleans in one flat buffer, row-major: the network's input.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessarin {

struct StateTensor {
  std::array<std::size_t, 3> shape{};  // outermost first
  std::vector<std::uint8_t> data;      // shape[0] * shape[1] * shape[2] entries, each 0 or 1

  bool at(std::size_t i, std::size_t j, std::size_t k) const {
    return data[(i * shape[1] + j) * shape[2] + k] != 0;
  }
};

}  // namespace tessarin

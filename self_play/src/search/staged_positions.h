// The positions a batched driver hands the host: each slot's game stages its waiting position
// as bytes, and a step copies those of the waiting slots, in order, into one buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "fatal.h"

namespace tessarin {

// Copies the staged position (`size` bytes at staged[slot * size]) of every slot in `waiting`, in
// that order, into `out` as T. Throws FatalStop unless `out` holds waiting.size() * size entries.
template <class T>
void write_staged_positions(std::span<const std::uint8_t> staged,
                            std::span<const std::size_t> waiting, std::size_t size,
                            std::span<T> out) {
  if (out.size() != waiting.size() * size) {
    fatal("Positions of " + std::to_string(waiting.size()) + " games need " +
          std::to_string(waiting.size() * size) + " entries, not " + std::to_string(out.size()));
  }
  for (std::size_t k = 0; k < waiting.size(); ++k) {
    const std::uint8_t* position = staged.data() + waiting[k] * size;
    T* row = out.data() + k * size;
    for (std::size_t i = 0; i < size; ++i)
      row[i] = static_cast<T>(position[i]);
  }
}

}  // namespace tessarin

// Counts heap allocations made through the global operator new in this program (the bench binary
// replaces the global allocation functions). Meant for single-threaded measurements.
#pragma once

#include <cstddef>

namespace bench {

// Allocations made through any form of the global operator new since the program started.
std::size_t allocation_count();

}  // namespace bench

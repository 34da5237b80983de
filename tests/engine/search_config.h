// The search settings the engine's tests start from: the host's exploration constants and root
// noise on a board of side `dim`; a test changes on its copy what it is about.
#pragma once

#include <cstdint>

#include "config.h"

namespace tessarin {

inline Config test_search_config(std::uint64_t dim, std::uint64_t sims, float exploration_fraction,
                                 std::uint64_t sample_moves = 0) {
  return Config{.dim = dim,
                .rep = 1,
                .sims_per_move = sims,
                .sample_moves = sample_moves,
                .c_base = 19652.0F,
                .c_init = 1.25F,
                .dirichlet_alpha = 0.3F,
                .exploration_fraction = exploration_fraction};
}

}  // namespace tessarin

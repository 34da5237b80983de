// The run configuration of one game, read from the caller's object at the start of every call.
#pragma once

#include <cstdint>

namespace tessarin {

struct Config {
  std::uint64_t dim;            // board side of training games and games against random players
  std::uint64_t rep;            // position layout sent to the network: 1 planes first, 2 last
  std::uint64_t sims_per_move;  // search simulations per action of a training game
  std::uint64_t sample_moves;   // actions are sampled while fewer policies than this are kept
  float c_base;                 // exploration constants of the selection score
  float c_init;
  float dirichlet_alpha;       // concentration of the root noise; must be > 0 where drawn
  float exploration_fraction;  // weight of the noise in the root priors
};

}  // namespace tessarin

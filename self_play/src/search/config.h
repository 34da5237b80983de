// The run configuration of one game, read from the caller's object at the start of every call.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tessarin {

// How the root of every search spends its simulations (search.h, gumbel_root.h).
enum class RootSearch : std::uint8_t {
  kPuct,    // the pUCT rule at the root as below it, Dirichlet noise in the root priors
  kGumbel,  // Gumbel-top-k sampling and sequential halving at the root, completed-Q targets
};

// The setting's name as hosts write it: "puct" or "gumbel".
constexpr std::string_view root_search_name(RootSearch search) {
  return search == RootSearch::kGumbel ? "gumbel" : "puct";
}
// The setting named `name`, or nullopt for a name that is neither "puct" nor "gumbel".
constexpr std::optional<RootSearch> root_search_named(std::string_view name) {
  if (name == "puct") return RootSearch::kPuct;
  if (name == "gumbel") return RootSearch::kGumbel;
  return std::nullopt;
}

struct Config {
  std::uint64_t dim;            // board side of training games and games against random players
  std::uint64_t rep;            // position layout sent to the network: 1 planes first, 2 last
  std::uint64_t sims_per_move;  // search simulations per action of a training game
  std::uint64_t sample_moves;   // actions are sampled while fewer policies than this are kept
  float c_base;                 // exploration constants of the selection score
  float c_init;
  float dirichlet_alpha;       // concentration of the root noise; must be > 0 where drawn
  float exploration_fraction;  // weight of the noise in the root priors
  // Beyond the worker module's eight settings, each with a default that keeps its behaviour.
  RootSearch root_search = RootSearch::kPuct;
  std::uint64_t gumbel_considered = 16;  // tiles the Gumbel root samples (at least 1)
  float gumbel_c_visit = 50.0F;          // sigma(q) = (c_visit + max visits) * c_scale * q
  float gumbel_c_scale = 1.0F;
};

}  // namespace tessarin

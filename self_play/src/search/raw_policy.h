// The choice of a network seat that plays without search, from one evaluation of its position:
// the legal tile of highest prior (the first of equal priors in the enumeration order of the
// children that expansion makes), or, while its game samples its opening actions, a tile drawn in
// proportion to those priors. When no legal tile got a prior above 0 (non-finite logits), a
// uniformly random legal tile: answering a fixed tile would usually be illegal and the seat would
// ask again for ever. The worker module's test games and the match batch both play it.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "game.h"
#include "random_source.h"

namespace tessarin {

enum class RawChoice {
  kBestPrior,  // the tile of highest prior
  kSampled,    // a tile drawn in proportion to the priors
};

// The tile to play for the player to move in `game` (not over) after the network answered
// `policy_logits` and `value_logits` for it; every random draw (the children's order, the sample,
// the fallback) comes from `random`. `legal` is scratch storage. Throws FatalStop as
// expand_from_network does, and ("cannot sample empty range") when the game has no legal tile.
std::size_t raw_policy_tile(const Game& game, std::span<const float> policy_logits,
                            std::span<const float> value_logits, RawChoice choice,
                            RandomSource& random, std::vector<std::size_t>& legal);

}  // namespace tessarin

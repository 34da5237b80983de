// The training record as the host receives it: (history, policies, payoff), with history a list
// of (player, tile), policies a list per action of (tile, share), payoff four floats. The worker
// module and the batched driver hand records over in this one format.
#pragma once

#include "py_ref.h"
#include "training_game.h"

namespace tessarin::py {

// The record as a host tuple; null with the host exception set on failure.
Ref record_tuple(const TrainingRecord& record);

}  // namespace tessarin::py

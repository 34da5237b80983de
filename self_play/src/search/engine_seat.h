// Seats that an engine player takes instead of a network: in arena matches, and in self-play
// games against engine opponents.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fatal.h"
#include "game.h"
#include "heuristic_player.h"
#include "random_source.h"

namespace tessarin {

// Who plays a seat. An engine player is added here and in engine_tile.
enum class PlayerKind : std::uint8_t {
  kNetwork,    // a network, through the host
  kRandom,     // a uniformly random legal tile
  kHeuristic,  // the engine's heuristic: the largest piece, the most new corner cells
  kHost,       // the host supplies its tiles (a person at the web page): match batches only
};

using Seats = std::array<PlayerKind, 4>;
inline constexpr Seats kNetworkSeats{PlayerKind::kNetwork, PlayerKind::kNetwork,
                                     PlayerKind::kNetwork, PlayerKind::kNetwork};

// The tile the engine player `kind` chooses for the player to move in `game`. `heuristic` keeps
// a heuristic seat's placement across the tiles of its turn; `legal` is scratch space. Throws
// FatalStop for a network or host seat or a game that is over.
inline std::size_t engine_tile(PlayerKind kind, const Game& game, RandomSource& random,
                               HeuristicPlayer& heuristic, std::vector<std::size_t>& legal) {
  switch (kind) {
    case PlayerKind::kRandom:
      break;
    case PlayerKind::kHeuristic:
      return heuristic.choose(game, random);
    case PlayerKind::kNetwork:
      fatal("A network seat has no engine move");
    case PlayerKind::kHost:
      fatal("A host seat has no engine move");
  }
  game.legal_tiles(legal);
  if (legal.empty()) fatal("cannot sample empty range");
  return legal[random.uniform_index(legal.size())];
}

// Self-play against engine opponents: with probability `share` a training game seats engine
// players, so that the network also learns positions that weaker players lead to. Such a game
// has 1, 2 or 3 engine seats (each count as likely), at seats drawn at random, each a random or
// a heuristic player with even odds; the network's search plays the others. An engine seat's
// actions have no policy target; the game's outcome is the value target of every position.
struct EngineOpponents {
  float share = 0.0F;

  bool enabled() const { return share > 0.0F; }

  // The seats of one game. Draws nothing when not enabled, so that such games are the games
  // played without it.
  Seats draw(RandomSource& random) const {
    Seats seats = kNetworkSeats;
    if (!enabled() || !(random.uniform_float() < share)) return seats;
    std::array<std::size_t, 4> order{0, 1, 2, 3};
    random.shuffle(std::span<std::size_t>(order));
    const std::size_t engines = 1 + random.uniform_index(3);
    for (std::size_t i = 0; i < engines; ++i) {
      seats[order[i]] = random.uniform_index(2) == 0 ? PlayerKind::kRandom : PlayerKind::kHeuristic;
    }
    return seats;
  }
};

}  // namespace tessarin

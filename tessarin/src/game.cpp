#include "game.h"

#include <string>

#include "fatal.h"

namespace tessarin {

Game::Game(Board board) : board_(std::move(board)) {}

Game::Game(const Game& other, WithoutHistory)
    : board_(other.board_),
      tile_moves_(other.tile_moves_),
      current_player_(other.current_player_),
      last_piece_sizes_(other.last_piece_sizes_),
      finished_(other.finished_) {}

Game Game::reset(std::size_t dim) {
  Game game{Board(dim)};
  game.tile_moves_ = get_tile_moves(game.board_, 0);
  return game;
}

std::optional<std::string> Game::apply(std::size_t tile, std::optional<std::size_t> piece,
                                       TileMoveTableCache* tables) {
  if (tile >= board_.cell_count()) {
    fatal("Tile " + std::to_string(tile) + " is off a board of " +
          std::to_string(board_.cell_count()) + " cells");
  }
  if (piece && *piece >= board_.pieces(current_player_).size()) {
    fatal("Piece index " + std::to_string(*piece) + " is past the end of player " +
          std::to_string(current_player_) + "'s " +
          std::to_string(board_.pieces(current_player_).size()) + " pieces");
  }
  // Both refusals are decided before anything changes, so a rejected tile leaves no trace: the
  // map narrows only when the tile's set is not empty, and the board and history follow.
  const TileMoves::Narrowing narrowing = tile_moves_.narrow(tile);
  if (!narrowing.was_key) {
    return "Invalid move - Player " + std::to_string(current_player_) + ", Tile " +
           std::to_string(tile);
  }
  if (!piece && narrowing.now_empty && !narrowing.first_piece_index) {
    return "valid_moves must be non-empty";
  }
  board_.place_tile(tile, current_player_);
  history_.emplace_back(static_cast<std::int32_t>(current_player_),
                        static_cast<std::int32_t>(tile));
  if (!piece && !narrowing.now_empty) return std::nullopt;

  const std::size_t completed = piece ? *piece : *narrowing.first_piece_index;
  last_piece_sizes_[current_player_] = board_.remove_piece(current_player_, completed);
  advance_player(tables);
  return std::nullopt;
}

void Game::apply_legal(std::size_t tile, TileMoveTableCache* tables) {
  if (std::optional<std::string> error = apply(tile, std::nullopt, tables)) fatal(*error);
}

std::size_t Game::advance_player(TileMoveTableCache* tables) {
  while (!is_terminal()) {
    current_player_ = (current_player_ + 1) % kPlayers;
    if (finished_[current_player_]) {
      // A finished player's map stays empty: the board only closes cells.
      tile_moves_ = TileMoves();
      continue;
    }
    tile_moves_ = tables != nullptr ? TileMoves(tables->table(board_, current_player_))
                                    : get_tile_moves(board_, current_player_);
    if (!tile_moves_.empty()) break;
    finished_[current_player_] = true;
  }
  return current_player_;
}

std::array<float, 4> Game::get_payoff() const {
  const std::array<std::int32_t, 4> scores = board_.get_scores(last_piece_sizes_);
  std::array<bool, 4> winner{};
  std::int32_t best = scores[0];
  for (std::size_t p = 0; p < kPlayers; ++p) {
    if (scores[p] > best) {
      winner.fill(false);
      best = scores[p];
    }
    winner[p] = scores[p] == best;
  }
  std::uint32_t winners = 0;
  for (bool w : winner)
    winners += w ? 1U : 0U;
  const float share = 1.0F / static_cast<float>(winners);
  std::array<float, 4> payoff{};
  for (std::size_t p = 0; p < kPlayers; ++p)
    payoff[p] = winner[p] ? share : 0.0F;
  return payoff;
}

StateTensor Game::get_game_state(bool channels_last) const {
  const std::size_t dim = board_.dim();
  StateTensor state;
  state.shape = channels_last ? std::array<std::size_t, 3>{dim, dim, kStatePlanes}
                              : std::array<std::size_t, 3>{kStatePlanes, dim, dim};
  state.data.resize(kStatePlanes * board_.cell_count());
  write_game_state(channels_last, state.data);
  return state;
}

void Game::write_game_state(bool channels_last, std::span<std::uint8_t> out) const {
  const std::size_t cells = board_.cell_count();
  if (out.size() != kStatePlanes * cells) {
    fatal("A game state of side " + std::to_string(board_.dim()) + " needs " +
          std::to_string(kStatePlanes * cells) + " entries, not " + std::to_string(out.size()));
  }
  std::fill(out.begin(), out.end(), 0);
  board_.write_rep(channels_last, current_player_, kStatePlanes, out.data());
  thread_local std::vector<std::size_t> legal;  // filled and used here, no call out between
  tile_moves_.legal_tiles(legal);
  const std::size_t legal_plane = kStatePlanes - 1;
  for (std::size_t tile : legal) {
    out[channels_last ? tile * kStatePlanes + legal_plane : legal_plane * cells + tile] = 1;
  }
}

}  // namespace tessarin

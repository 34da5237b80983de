// Coverage-guided fuzzer of the game engine. The input's bytes choose a board side, then a run of
// steps on a few games: legal tiles, arbitrary tiles, explicit piece indices, tiles off the board,
// copies and switches between copies. After every step the game just touched is checked against
// the engine's invariants:
// - every cell byte agrees with ownership: the owner nibble names at most one player, and an
//   occupied cell is closed to everyone; a square's edge neighbours are closed to its owner; the
//   corner sets hold exactly the empty cells open to their player that touch one of its squares
//   diagonally (or its empty start corner);
// - the legal tiles and the placements of each are those of a small placement check: every
//   placement valid at the start of the turn (tried from every corner cell with
//   Board::is_valid_move) that covers every tile played in the turn;
// - a refused tile changes nothing; the game is over exactly when no tile is legal; the payoffs
//   are 1/k for the k best scores and sum to 1.
// Any violation aborts, which libFuzzer reports as a crash. The same entry point is replayed over
// the committed corpus by a plain test program (replay_main.cpp), so gcc builds run it too.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "board.h"
#include "fatal.h"
#include "game.h"
#include "tile_moves.h"

namespace {

using tessarin::Board;
using tessarin::Game;
using tessarin::Placement;

constexpr std::size_t kNoCell = static_cast<std::size_t>(-1);

// Aborts with `what` (and the cell or tile concerned) unless `condition` holds. Messages are
// built only on failure: this runs millions of times per fuzzing minute.
void require(bool condition, const char* what, std::size_t cell = kNoCell) {
  if (condition) return;
  if (cell == kNoCell) {
    std::fprintf(stderr, "engine invariant broken: %s\n", what);
  } else {
    std::fprintf(stderr, "engine invariant broken: %s (cell %zu)\n", what, cell);
  }
  std::abort();
}

// Reads the input a byte at a time; zeros once it is used up.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  std::uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::size_t next_u16() { return next() | (std::size_t{next()} << 8); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// A placement with its cells, as the placement check sees it.
struct Candidate {
  Placement placement;
  std::vector<std::size_t> cells;
};

// A game under test with what the check needs to know about its turn.
struct Tracked {
  Game game;
  std::vector<Candidate> turn_start;  // placements valid when the turn began
  std::vector<std::size_t> played;    // tiles played in this turn
};

std::size_t start_corner(std::size_t player, std::size_t dim) {
  const std::array<std::size_t, 4> corners = {0, dim - 1, dim * dim - 1, (dim - 1) * dim};
  return corners[player];
}

// Every placement of the player to move valid on its board, each once, tried from every corner
// cell of the player with every square of every orientation of every held piece.
std::vector<Candidate> valid_placements(const Game& game) {
  const Board& board = game.board();
  const std::size_t player = game.current_player();
  std::set<Placement> seen;
  std::vector<Candidate> found;
  const tessarin::PieceList pieces = board.pieces(player);
  for (std::size_t corner : board.corners(player)) {
    for (std::size_t index = 0; index < pieces.size(); ++index) {
      const tessarin::Piece& piece = pieces[index];
      for (std::size_t v = 0; v < piece.variants.size(); ++v) {
        const tessarin::PieceVariant& variant = piece.variants[v];
        for (std::size_t offset : variant.offsets) {
          if (offset > corner) continue;
          const std::size_t anchor = corner - offset;
          if (!board.is_valid_move(player, variant, anchor)) continue;
          const Placement placement{index, v, anchor};
          if (!seen.insert(placement).second) continue;
          Candidate candidate{placement, {}};
          for (std::size_t o : variant.offsets)
            candidate.cells.push_back(anchor + o);
          found.push_back(std::move(candidate));
        }
      }
    }
  }
  return found;
}

void check_board(const Board& board) {
  const std::size_t dim = board.dim();
  const std::size_t cells = board.cell_count();
  // Owners with a margin of one empty cell all round, so that neighbours need no bounds test.
  const std::size_t stride = dim + 2;
  std::vector<std::uint8_t> grid(stride * stride, 0);
  for (std::size_t i = 0; i < cells; ++i) {
    const std::uint8_t byte = board.cell(i);
    const std::size_t own = byte & 0x0F;
    require(own <= 4 && own == board.owner(i), "owner nibble", i);
    if (own != 0) require((byte & 0xF0) == 0xF0, "an occupied cell is open", i);
    grid[(i / dim + 1) * stride + i % dim + 1] = static_cast<std::uint8_t>(own);
  }
  for (std::size_t i = 0; i < cells; ++i) {
    const std::uint8_t byte = board.cell(i);
    const std::size_t g = (i / dim + 1) * stride + i % dim + 1;
    const std::size_t own = grid[g];
    // Bit p + 1 set when a square of p lies beside (edge) or diagonal to the cell.
    const unsigned beside = (1U << grid[g - stride]) | (1U << grid[g + stride]) |
                            (1U << grid[g - 1]) | (1U << grid[g + 1]);
    const unsigned diagonal = (1U << grid[g - stride - 1]) | (1U << grid[g - stride + 1]) |
                              (1U << grid[g + stride - 1]) | (1U << grid[g + stride + 1]);
    for (std::size_t p = 0; p < 4; ++p) {
      const bool closed = (byte >> (4 + p)) & 1U;
      if ((beside >> (p + 1)) & 1U) {
        require(closed, "a cell beside a square of its player is open", i);
      }
      const bool touches = (diagonal >> (p + 1)) & 1U;
      const bool open = own == 0 && !closed;
      if (board.is_corner(p, i)) {
        require(open && (touches || i == start_corner(p, dim)), "a stray corner cell", i);
      } else {
        require(!(open && touches), "a corner cell is missing", i);
      }
    }
  }
}

bool covers(const Candidate& candidate, std::size_t cell) {
  return std::find(candidate.cells.begin(), candidate.cells.end(), cell) != candidate.cells.end();
}

// The turn-start placements that cover every tile played in the turn.
std::vector<const Candidate*> live_placements(const Tracked& tracked) {
  std::vector<const Candidate*> live;
  for (const Candidate& candidate : tracked.turn_start) {
    if (std::all_of(tracked.played.begin(), tracked.played.end(),
                    [&](std::size_t tile) { return covers(candidate, tile); })) {
      live.push_back(&candidate);
    }
  }
  return live;
}

// The cells that live placements cover and that were not played in the turn, ascending.
std::vector<std::size_t> expected_legal(const std::vector<const Candidate*>& live,
                                        const std::vector<std::size_t>& played) {
  std::set<std::size_t> expected;
  for (const Candidate* candidate : live) {
    for (std::size_t cell : candidate->cells) {
      if (std::find(played.begin(), played.end(), cell) == played.end()) expected.insert(cell);
    }
  }
  return {expected.begin(), expected.end()};
}

void check_turn(const Tracked& tracked) {
  const Game& game = tracked.game;
  const std::vector<const Candidate*> live = live_placements(tracked);
  const std::vector<std::size_t> legal = game.get_legal_tiles();
  require(expected_legal(live, tracked.played) == legal, "legal tiles");
  require(game.is_terminal() == legal.empty(), "the end of the game and the legal tiles");
  // The sets of a few legal tiles (all of them would make a step cost thousands of times more).
  for (std::size_t k = 0; k < legal.size(); k += 1 + legal.size() / 3) {
    const std::size_t tile = legal[k];
    std::vector<Placement> placements;
    for (const Candidate* candidate : live) {
      if (covers(*candidate, tile)) placements.push_back(candidate->placement);
    }
    std::sort(placements.begin(), placements.end());
    require(game.tile_moves().placements(tile) == placements, "placements of a tile", tile);
  }
}

void check_payoff(const Game& game) {
  const std::array<float, 4> payoff = game.get_payoff();
  const std::array<std::int32_t, 4> scores = game.board().get_scores(game.last_piece_sizes());
  const std::int32_t best = *std::max_element(scores.begin(), scores.end());
  const auto winners = static_cast<float>(std::count(scores.begin(), scores.end(), best));
  float sum = 0.0F;
  for (std::size_t p = 0; p < 4; ++p) {
    require(payoff[p] == (scores[p] == best ? 1.0F / winners : 0.0F), "payoff entry");
    sum += payoff[p];
  }
  require(std::abs(sum - 1.0F) <= 1e-6F, "payoffs sum to 1");
}

void check(const Tracked& tracked) {
  check_board(tracked.game.board());
  check_turn(tracked);
  check_payoff(tracked.game);
}

// The parts of a game a refused step must leave alone.
struct Fingerprint {
  std::vector<std::uint8_t> cells;
  std::vector<tessarin::HistoryEntry> history;
  std::vector<std::size_t> legal;
  std::size_t player;
  std::size_t played;
  std::array<std::uint32_t, 4> kinds;
  bool operator==(const Fingerprint&) const = default;
};

Fingerprint fingerprint(const Game& game) {
  Fingerprint f;
  for (std::size_t i = 0; i < game.board().cell_count(); ++i)
    f.cells.push_back(game.board().cell(i));
  f.history = game.history();
  f.legal = game.get_legal_tiles();
  f.player = game.current_player();
  f.played = game.tile_moves().played_count();
  for (std::size_t p = 0; p < 4; ++p)
    f.kinds[p] = game.board().pieces(p).kinds();
  return f;
}

// Applies `tile` (with `piece`) and keeps the bookkeeping; a refusal must change nothing.
void step(Tracked& tracked, std::size_t tile, std::optional<std::size_t> piece) {
  Game& game = tracked.game;
  const Fingerprint before = fingerprint(game);
  const std::size_t player = game.current_player();
  const tessarin::PieceList before_list = game.board().pieces(player);
  const std::size_t pieces_held = before_list.size();
  const std::size_t kind_at_index = piece && *piece < pieces_held ? before_list.kind(*piece) : 0;
  const bool off_board = tile >= game.board().cell_count();
  const bool bad_piece = piece && *piece >= pieces_held;
  try {
    const std::optional<std::string> error = game.apply(tile, piece);
    require(!off_board && !bad_piece, "an off-board tile or piece index was accepted");
    if (error) {
      require(*error == "Invalid move - Player " + std::to_string(player) + ", Tile " +
                            std::to_string(tile),
              "refusal text", tile);
      require(fingerprint(game) == before, "a refused tile changed the game");
      return;
    }
  } catch (const tessarin::FatalStop&) {
    require(off_board || bad_piece, "an unexpected fatal stop");
    require(fingerprint(game) == before, "a stopped tile changed the game");
    return;
  }
  require(std::find(before.legal.begin(), before.legal.end(), tile) != before.legal.end(),
          "an accepted tile was legal");
  require(game.history().size() == before.history.size() + 1, "history grows by one");
  require(game.board().owner(tile) == player + 1, "the square is placed");
  tracked.played.push_back(tile);
  const bool completed = game.board().pieces(player).size() != pieces_held;
  const std::uint32_t removed = before.kinds[player] & ~game.board().pieces(player).kinds();
  if (piece) {
    require(completed, "an explicit piece index completes the piece");
    require(removed == std::uint32_t{1} << kind_at_index, "the named piece is removed");
  } else {
    const std::vector<const Candidate*> live = live_placements(tracked);
    require(!live.empty(), "a placement covers the tiles of the turn");
    const bool nothing_left = expected_legal(live, tracked.played).empty();
    require(completed == nothing_left, "the piece completes when no further tile is possible");
    if (completed) {
      const std::size_t kind =
          before_list.kind(live.front()->placement.piece_index);  // all of them name one piece
      for (const Candidate* candidate : live) {
        require(candidate->placement.piece_index == live.front()->placement.piece_index,
                "the completed placements name one piece");
      }
      require(removed == std::uint32_t{1} << kind, "the completed piece is removed");
    }
  }
  if (completed) {
    tracked.played.clear();
    tracked.turn_start = valid_placements(game);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes bytes(data, size);
  // Mostly small boards (short games, many ends), some up to the usual side 20, and a few around
  // the largest side whose bitsets live inside the board.
  const std::uint8_t side = bytes.next();
  const std::size_t dim = side < 160   ? 4 + side % 10
                          : side < 224 ? 14 + side % 8
                                       : tessarin::kMaxInlineDim - 1 + side % 3;
  std::vector<Tracked> games;
  games.push_back({Game::reset(dim), {}, {}});
  games.back().turn_start = valid_placements(games.back().game);
  std::size_t current = 0;
  check(games[current]);

  for (int steps = 0; steps < 400 && !bytes.empty(); ++steps) {
    Tracked& tracked = games[current];
    const std::vector<std::size_t> legal = tracked.game.get_legal_tiles();
    const std::uint8_t op = bytes.next();
    switch (op % 16) {
      case 0:  // an arbitrary cell of the board
        step(tracked, bytes.next_u16() % tracked.game.board().cell_count(), std::nullopt);
        break;
      case 1:  // a cell off the board
        step(tracked, tracked.game.board().cell_count() + bytes.next(), std::nullopt);
        break;
      case 2:  // a legal tile with an explicit piece index, sometimes past the end
        if (legal.empty()) break;
        step(tracked, legal[bytes.next() % legal.size()], bytes.next() % 22);
        break;
      case 3:  // a copy, full or without history, becomes the game under test
        if (games.size() < 4) {
          Tracked copy = tracked;
          if (bytes.next() % 2 == 0) copy.game = Game(tracked.game, Game::WithoutHistory{});
          games.push_back(std::move(copy));
          current = games.size() - 1;
        }
        break;
      case 4:  // switch to another copy
        current = bytes.next() % games.size();
        break;
      case 5:  // assign one copy over another
        if (games.size() > 1) {
          const std::size_t from = bytes.next() % games.size();
          if (from != current) games[current] = games[from];
        }
        break;
      default:  // a legal tile, the common case
        if (legal.empty()) break;
        step(tracked, legal[bytes.next() % legal.size()], std::nullopt);
        break;
    }
    check(games[current]);
  }
  // Copies share nothing: every game still checks out after the others were played on.
  for (const Tracked& tracked : games)
    check(tracked);
  return 0;
}

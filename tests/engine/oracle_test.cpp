// Differential test of move generation and the turn cycle: seeded random games in which, at every
// position, the engine's Game is compared with the brute-force ReferenceGame of oracle.h (tile-move
// map, legal tiles, completed pieces, turn passing, finished players, board cells and corner sets,
// scores, payoffs, last piece sizes and history). Illegal tiles are tried now and then and must
// change nothing. The first mismatch of a game ends that game and is reported with the side, the
// seed, the game index, the move number and the actions played, which replay it exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <exception>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "game.h"
#include "oracle.h"

namespace {

using oracle::PiecePosition;
using oracle::ReferenceGame;

// Everything in `args`, printed one after another as a stream prints them.
template <class... Args>
std::string text(const Args&... args) {
  std::ostringstream out;
  (out << ... << args);
  return out.str();
}

template <class T>
std::string join(const T& values) {
  std::ostringstream out;
  out << "[";
  bool first = true;
  for (const auto& v : values) {
    out << (first ? "" : ", ") << v;
    first = false;
  }
  out << "]";
  return out.str();
}

template <class T, std::size_t N>
std::string join(const std::array<T, N>& values) {
  return join(std::vector<T>(values.begin(), values.end()));
}

// Reads an engine placement of `player` through the player's piece list and the variant's offsets:
// fills `out` with its kind and cells, or returns what is wrong with it. The offsets laid from the
// anchor must form one orientation of the kind, with the anchor as its top-left bounding-box cell.
std::optional<std::string> read_placement(const tessarin::Board& board, std::size_t player,
                                          const tessarin::Placement& placement,
                                          PiecePosition& out) {
  const auto wrong = [&placement](const std::string& what) {
    std::ostringstream text;
    text << "placement (piece " << placement.piece_index << ", variant " << placement.variant_index
         << ", anchor " << placement.anchor << "): " << what;
    return text.str();
  };
  const tessarin::PieceList pieces = board.pieces(player);
  if (placement.piece_index >= pieces.size()) return wrong("piece index past the list");
  const int kind = static_cast<int>(pieces.kind(placement.piece_index));
  const tessarin::Piece& piece = pieces[placement.piece_index];
  if (piece.id != static_cast<std::size_t>(kind)) {
    return wrong("the piece's id " + std::to_string(piece.id) + " is not its kind " +
                 std::to_string(kind));
  }
  if (placement.variant_index >= piece.variants.size()) return wrong("variant index past the end");
  const auto& offsets = piece.variants[placement.variant_index].offsets;
  if (static_cast<int>(offsets.size()) != oracle::kind_size(kind)) {
    return wrong(std::to_string(offsets.size()) + " offsets for kind " + std::to_string(kind));
  }
  const int dim = static_cast<int>(board.dim());
  out = PiecePosition{};
  out.kind = kind;
  for (std::size_t offset : offsets) {
    const std::size_t cell = placement.anchor + offset;
    if (cell >= board.cell_count()) return wrong("a square lies off the board");
    out.cells[out.count++] = static_cast<int>(cell);
  }
  for (int i = 1; i < out.count; ++i) {  // insertion sort of at most five cells
    for (int j = i; j > 0 && out.cells[j - 1] > out.cells[j]; --j) {
      std::swap(out.cells[j - 1], out.cells[j]);
    }
  }
  // The shape as (row, col) cells relative to the anchor; in row-major order once sorted.
  int top = dim;
  int left = dim;
  for (int i = 0; i < out.count; ++i) {
    top = std::min(top, out.cells[i] / dim);
    left = std::min(left, out.cells[i] % dim);
  }
  if (top * dim + left != static_cast<int>(placement.anchor)) {
    return wrong("the anchor is not the top-left bounding-box cell of " + to_string(out, dim));
  }
  std::array<std::pair<int, int>, oracle::kLargestPiece> shape;
  for (int i = 0; i < out.count; ++i) {
    shape[i] = {out.cells[i] / dim - top, out.cells[i] % dim - left};
  }
  const auto& shapes = oracle::orientations(kind);
  const bool known = std::any_of(shapes.begin(), shapes.end(), [&](const oracle::CellSet& s) {
    return std::equal(s.begin(), s.end(), shape.begin(), shape.begin() + out.count);
  });
  if (!known) {
    return wrong(to_string(out, dim) + " is no orientation of kind " + std::to_string(kind) +
                 " (wrapped across a side?)");
  }
  return std::nullopt;
}

std::string describe_difference(const std::vector<PiecePosition>& engine,
                                const std::vector<PiecePosition>& model, int dim) {
  std::vector<PiecePosition> only_engine;
  std::vector<PiecePosition> only_model;
  std::set_difference(engine.begin(), engine.end(), model.begin(), model.end(),
                      std::back_inserter(only_engine));
  std::set_difference(model.begin(), model.end(), engine.begin(), engine.end(),
                      std::back_inserter(only_model));
  std::ostringstream out;
  out << engine.size() << " in the engine, " << model.size() << " in the model";
  const auto list = [&](const char* title, const std::vector<PiecePosition>& positions) {
    if (positions.empty()) return;
    out << "; " << title << " (" << positions.size() << "):";
    for (std::size_t i = 0; i < positions.size() && i < 6; ++i) {
      out << " " << to_string(positions[i], dim) << ";";
    }
  };
  list("only in the engine", only_engine);
  list("only in the model", only_model);
  if (only_engine.empty() && only_model.empty()) out << "; the engine lists a position twice";
  return out.str();
}

// Everything observable about the game that the model also knows, compared; the first difference
// found, or nothing. `probe` picks which non-legal cells get their (empty) placement set checked.
std::optional<std::string> compare(const tessarin::Game& game, const ReferenceGame& model,
                                   std::uint64_t probe) {
  const int dim = model.dim();
  const int cells = dim * dim;

  // Turn and end of the game.
  if (game.current_player() != static_cast<std::size_t>(model.current_player())) {
    return text("player to move: engine ", game.current_player(), ", model ",
                model.current_player());
  }
  const std::array<bool, 4> finished = game.finished();
  if (finished != model.finished()) {
    return "finished players: engine " + join(finished) + ", model " + join(model.finished());
  }
  if (game.is_terminal() != model.over()) {
    return "is_terminal: engine " + std::to_string(game.is_terminal()) + ", model " +
           std::to_string(model.over());
  }
  if (game.last_piece_sizes() != model.last_piece_sizes()) {
    return "last_piece_sizes: engine " + join(game.last_piece_sizes()) + ", model " +
           join(model.last_piece_sizes());
  }

  // History.
  const auto& history = game.history();
  if (history.size() != model.history().size()) {
    return text("history length: engine ", history.size(), ", model ", model.history().size());
  }
  for (std::size_t i = 0; i < history.size(); ++i) {
    if (history[i].first != model.history()[i].first ||
        history[i].second != model.history()[i].second) {
      return text("history entry ", i, ": engine (", history[i].first, ", ", history[i].second,
                  "), model (", model.history()[i].first, ", ", model.history()[i].second, ")");
    }
  }

  // Board: owners and closed bits of every cell, corner sets, remaining pieces.
  const tessarin::Board& board = game.board();
  for (int cell = 0; cell < cells; ++cell) {
    const int owner = model.owner(cell);
    if (board.owner(static_cast<std::size_t>(cell)) != static_cast<std::size_t>(owner + 1)) {
      return text("owner of cell ", cell, ": engine nibble ", board.owner(cell), ", model nibble ",
                  owner + 1);
    }
    unsigned expected = static_cast<unsigned>(owner + 1);
    for (int p = 0; p < 4; ++p) {
      if (model.closed_to(cell, p)) expected |= 0x10U << p;
    }
    if (board.cell(static_cast<std::size_t>(cell)) != expected) {
      return text("byte of cell ", cell, " (", cell / dim, ",", cell % dim, "): engine 0x",
                  std::hex, unsigned{board.cell(cell)}, ", model 0x", expected);
    }
  }
  for (int p = 0; p < 4; ++p) {
    const std::vector<std::size_t> engine_corners = board.corners(p);
    const std::vector<int> model_corners = model.corner_cells(p);
    if (!std::equal(engine_corners.begin(), engine_corners.end(), model_corners.begin(),
                    model_corners.end())) {
      return "corner cells of player " + std::to_string(p) + ": engine " + join(engine_corners) +
             ", model " + join(model_corners);
    }
    const tessarin::PieceList pieces = board.pieces(p);
    std::vector<int> engine_kinds;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      engine_kinds.push_back(static_cast<int>(pieces.kind(i)));
    }
    if (engine_kinds != model.remaining_kinds(p)) {
      return "pieces of player " + std::to_string(p) + ": engine kinds " + join(engine_kinds) +
             ", model kinds " + join(model.remaining_kinds(p));
    }
  }

  // Scores and payoff.
  const std::array<std::int32_t, 4> scores = board.get_scores(game.last_piece_sizes());
  if (!std::equal(scores.begin(), scores.end(), model.scores().begin())) {
    return "scores: engine " + join(scores) + ", model " + join(model.scores());
  }
  if (game.get_payoff() != model.payoff()) {
    return "payoff: engine " + join(game.get_payoff()) + ", model " + join(model.payoff());
  }

  // Legal tiles, both ways of asking.
  const std::vector<std::size_t> legal = game.get_legal_tiles();
  const std::vector<int>& model_legal = model.legal_tiles();
  if (!std::equal(legal.begin(), legal.end(), model_legal.begin(), model_legal.end())) {
    return "legal tiles: engine " + join(legal) + ", model " + join(model_legal);
  }
  std::vector<std::size_t> into{999999};
  game.legal_tiles(into);
  if (into != legal) return "legal_tiles(out) " + join(into) + " differs from get_legal_tiles()";
  const tessarin::TileMoves& moves = game.tile_moves();
  if (moves.empty() != legal.empty()) return "tile_moves().empty() disagrees with the legal tiles";
  if (moves.played_count() != model.played_this_turn().size()) {
    return text("tiles played this turn: engine ", moves.played_count(), ", model ",
                model.played_this_turn().size());
  }
  if (!model.over() && moves.player() != static_cast<std::size_t>(model.current_player())) {
    return text("tile-move map built for player ", moves.player(), ", player to move ",
                model.current_player());
  }

  // The tile-move map: per legal tile, the placements through it as (kind, cells).
  const std::vector<std::vector<PiecePosition>> model_map = model.tile_map();
  for (int tile : model_legal) {
    const std::vector<tessarin::Placement> placements = moves.placements(tile);
    if (!std::is_sorted(placements.begin(), placements.end()) ||
        std::adjacent_find(placements.begin(), placements.end()) != placements.end()) {
      return "placements of tile " + std::to_string(tile) + " are not sorted and distinct";
    }
    std::vector<PiecePosition> engine_positions;
    engine_positions.reserve(placements.size());
    for (const tessarin::Placement& placement : placements) {
      PiecePosition position;
      if (auto error = read_placement(board, game.current_player(), placement, position)) {
        return "tile " + std::to_string(tile) + ": " + *error;
      }
      if (!position.covers(tile)) {
        return "tile " + std::to_string(tile) + " lists " + to_string(position, dim) +
               ", which does not cover it";
      }
      engine_positions.push_back(position);
    }
    std::sort(engine_positions.begin(), engine_positions.end());
    const std::vector<PiecePosition>& model_positions = model_map[tile];
    if (engine_positions != model_positions) {
      return "placements through tile " + std::to_string(tile) + " (" + std::to_string(tile / dim) +
             "," + std::to_string(tile % dim) +
             "): " + describe_difference(engine_positions, model_positions, dim);
    }
  }

  // Every other cell: not a key, and no placements.
  for (int cell = 0; cell < cells; ++cell) {
    const bool is_legal = std::binary_search(model_legal.begin(), model_legal.end(), cell);
    if (moves.contains(cell) != is_legal) {
      return "tile_moves().contains(" + std::to_string(cell) + ") is " +
             std::to_string(moves.contains(cell)) + " for a cell the model calls " +
             (is_legal ? "legal" : "not legal");
    }
    if (!is_legal && (dim <= 13 || (cell + probe) % 17 == 0) && !moves.placements(cell).empty()) {
      return "tile " + std::to_string(cell) + " is not legal but has placements";
    }
  }
  return std::nullopt;
}

// The engine state an illegal tile must leave alone.
struct Snapshot {
  std::vector<std::uint8_t> cells;
  std::array<std::vector<std::size_t>, 4> corners;
  std::array<std::uint32_t, 4> kinds{};
  std::size_t history_size = 0;
  std::size_t current_player = 0;
  std::array<bool, 4> finished{};
  std::array<std::uint32_t, 4> last_piece_sizes{};
  std::vector<std::size_t> legal;
  std::size_t played_count = 0;

  explicit Snapshot(const tessarin::Game& game)
      : history_size(game.history().size()),
        current_player(game.current_player()),
        finished(game.finished()),
        last_piece_sizes(game.last_piece_sizes()),
        legal(game.get_legal_tiles()),
        played_count(game.tile_moves().played_count()) {
    for (std::size_t cell = 0; cell < game.board().cell_count(); ++cell) {
      cells.push_back(game.board().cell(cell));
    }
    for (std::size_t p = 0; p < 4; ++p) {
      corners[p] = game.board().corners(p);
      kinds[p] = game.board().pieces(p).kinds();
    }
  }
  friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

struct RunStats {
  int games = 0;
  long moves = 0;
  long explicit_pieces = 0;
  long illegal_probes = 0;
  int players_emptied = 0;    // players that placed (or were given up) all 21 pieces
  int emptied_on_single = 0;  // ... whose last piece was the one-square piece
  int games_with_tied_winners = 0;
};

// Explicit piece indices: never, now and then, or on most tiles (which empties piece lists fast
// and so reaches the all-pieces-placed scores).
enum class PieceNaming { kNever, kSometimes, kMostly };

std::optional<std::string> play_one_game(int dim, std::uint64_t seed, RunStats& stats) {
  std::mt19937_64 rng(seed);
  const auto chance = [&rng](double p) { return std::uniform_real_distribution<>(0, 1)(rng) < p; };
  const auto pick = [&rng](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
  };
  const std::uint64_t mode_roll = rng() % 10;
  const PieceNaming naming = mode_roll < 7   ? PieceNaming::kNever
                             : mode_roll < 9 ? PieceNaming::kSometimes
                                             : PieceNaming::kMostly;

  std::vector<std::string> actions;  // what was applied, for the report
  int move = 0;
  const auto fail = [&](const std::string& what) {
    std::ostringstream out;
    out << "side " << dim << ", seed " << seed << ", after move " << move << ": " << what
        << "\n  actions (tile, tile/piece index, !illegal tile, copy): " << join(actions);
    return out.str();
  };

  try {
    tessarin::Game game = tessarin::Game::reset(dim);
    ReferenceGame model(dim);
    std::optional<tessarin::Game> saved;  // a copy taken mid-game, checked again at the end
    std::optional<ReferenceGame> saved_model;
    if (auto diff = compare(game, model, rng())) return fail(*diff);

    while (!model.over()) {
      // Now and then an illegal tile (occupied, closed, or just not in the map): refused, and
      // nothing changes.
      if (chance(0.05)) {
        const std::vector<int> legal = model.legal_tiles();
        if (static_cast<int>(legal.size()) < dim * dim) {
          int tile;
          do {
            tile = static_cast<int>(pick(static_cast<std::size_t>(dim * dim)));
          } while (std::binary_search(legal.begin(), legal.end(), tile));
          std::optional<std::size_t> piece;
          if (chance(0.3)) piece = pick(game.board().pieces(game.current_player()).size());
          actions.push_back("!" + std::to_string(tile));
          const Snapshot before(game);
          const std::optional<std::string> result = game.apply(tile, piece);
          const ReferenceGame::Outcome expected = model.play(tile);
          ++stats.illegal_probes;
          if (result != expected.error) {
            return fail("illegal tile " + std::to_string(tile) + " returned \"" +
                        result.value_or("success") + "\", expected \"" +
                        expected.error.value_or("success") + "\"");
          }
          if (!(Snapshot(game) == before)) {
            return fail("illegal tile " + std::to_string(tile) + " changed the game");
          }
          if (auto diff = compare(game, model, rng())) {
            return fail("after an illegal tile: " + *diff);
          }
        }
      }

      // Now and then go on with a copy of the game: copied and moved back, or copy-assigned over
      // a game of another side and back. Once per game a copy is kept aside and checked again at
      // the end, after the original has played on.
      if (chance(0.02)) {
        actions.emplace_back("copy");
        if (chance(0.5)) {
          tessarin::Game copy(game);
          game = std::move(copy);
        } else {
          tessarin::Game other = tessarin::Game::reset(static_cast<std::size_t>(4 + pick(40)));
          other = game;
          game = other;
        }
      }
      if (!saved && chance(0.01)) {
        saved.emplace(game);
        saved_model.emplace(model);
      }

      const std::vector<int> legal = model.legal_tiles();
      const int tile = legal[pick(legal.size())];
      std::optional<int> piece;
      const double naming_rate = naming == PieceNaming::kNever       ? 0.0
                                 : naming == PieceNaming::kSometimes ? 0.12
                                                                     : 0.7;
      if (chance(naming_rate)) {
        const std::vector<int> kinds = model.remaining_kinds(model.current_player());
        const std::uint64_t how = rng() % 3;
        if (how == 0) {  // the kind of some position through the tile
          const std::vector<PiecePosition> through = model.positions_through(tile);
          const int kind = through[pick(through.size())].kind;
          piece = static_cast<int>(std::find(kinds.begin(), kinds.end(), kind) - kinds.begin());
        } else if (how == 1) {  // any piece held
          piece = static_cast<int>(pick(kinds.size()));
        } else {  // the last one, so the single square tends to go last
          piece = static_cast<int>(kinds.size()) - 1;
        }
        ++stats.explicit_pieces;
      }
      actions.push_back(std::to_string(tile) + (piece ? "/" + std::to_string(*piece) : ""));

      const std::size_t player = game.current_player();
      const std::uint32_t kinds_before = game.board().pieces(player).kinds();
      const std::optional<std::string> result = game.apply(
          static_cast<std::size_t>(tile),
          piece ? std::optional<std::size_t>(static_cast<std::size_t>(*piece)) : std::nullopt);
      const ReferenceGame::Outcome expected = model.play(tile, piece);
      ++move;
      ++stats.moves;
      if (result) return fail("legal tile " + std::to_string(tile) + " refused: " + *result);

      const std::uint32_t removed = kinds_before & ~game.board().pieces(player).kinds();
      const std::uint32_t expected_removed =
          expected.completed_kind ? std::uint32_t{1} << *expected.completed_kind : 0U;
      if (removed != expected_removed) {
        std::ostringstream out;
        out << "completed piece of player " << player << " after tile " << tile
            << ": engine removed kind mask 0x" << std::hex << removed << ", model removed 0x"
            << expected_removed;
        return fail(out.str());
      }
      if (auto diff = compare(game, model, rng())) return fail(*diff);
    }

    // The game is over: every tile is refused, advance_player changes nothing.
    const int tile = static_cast<int>(pick(static_cast<std::size_t>(dim * dim)));
    const Snapshot before(game);
    const std::optional<std::string> result = game.apply(tile);
    const ReferenceGame::Outcome expected = model.play(tile);
    if (result != expected.error) {
      return fail("tile " + std::to_string(tile) + " after the end returned \"" +
                  result.value_or("success") + "\", expected \"" +
                  expected.error.value_or("success") + "\"");
    }
    if (game.advance_player() != before.current_player) {
      return fail("advance_player after the end changed the player to move");
    }
    if (!(Snapshot(game) == before)) return fail("a move after the end changed the game");
    if (saved) {
      if (auto diff = compare(*saved, *saved_model, rng())) {
        return fail("a copy taken mid-game changed later: " + *diff);
      }
    }

    ++stats.games;
    for (int p = 0; p < 4; ++p) {
      if (model.remaining_kinds(p).empty()) {
        ++stats.players_emptied;
        if (model.last_piece_sizes()[p] == 1) ++stats.emptied_on_single;
      }
    }
    const auto payoff = model.payoff();
    if (std::count(payoff.begin(), payoff.end(), 0.0F) < 3) ++stats.games_with_tied_winners;
  } catch (const std::exception& e) {
    return fail(std::string("exception: ") + e.what());
  }
  return std::nullopt;
}

// Plays `games` games on side `dim` with seeds seed_base, seed_base + 1, ...; reports at most
// three failing games.
RunStats play_games(int dim, int games, std::uint64_t seed_base) {
  RunStats stats;
  int failures = 0;
  for (int g = 0; g < games && failures < 3; ++g) {
    if (auto failure = play_one_game(dim, seed_base + static_cast<std::uint64_t>(g), stats)) {
      ADD_FAILURE() << "game " << g << ", " << *failure;
      ++failures;
    }
  }
  return stats;
}

// ---------------------------------------------------------------------------------------------
// The model itself, against facts worked out by hand, so that it cannot share a mistake with the
// engine unnoticed.

TEST(OracleModel, PieceTableHas21Kinds89SquaresAnd91Orientations) {
  const std::array<int, oracle::kKinds> expected_orientations = {1, 2, 4, 2, 2, 8, 4, 1, 4, 2, 8,
                                                                 8, 8, 4, 4, 4, 4, 8, 1, 8, 4};
  int squares = 0;
  int total = 0;
  for (int kind = 0; kind < oracle::kKinds; ++kind) {
    squares += oracle::kind_size(kind);
    const auto& shapes = oracle::orientations(kind);
    total += static_cast<int>(shapes.size());
    EXPECT_EQ(static_cast<int>(shapes.size()), expected_orientations[kind]) << "kind " << kind;
    for (const auto& shape : shapes) {
      EXPECT_EQ(static_cast<int>(shape.size()), oracle::kind_size(kind));
      EXPECT_EQ(shape, oracle::normalise(shape));
    }
  }
  EXPECT_EQ(squares, 89);
  EXPECT_EQ(total, 91);
  // No two kinds share a shape.
  for (int a = 0; a < oracle::kKinds; ++a) {
    for (int b = a + 1; b < oracle::kKinds; ++b) {
      for (const auto& shape : oracle::orientations(a)) {
        const auto& others = oracle::orientations(b);
        EXPECT_EQ(std::find(others.begin(), others.end(), shape), others.end())
            << "kinds " << a << " and " << b;
      }
    }
  }
}

TEST(OracleModel, FirstPieceOnSide20CoversTheStartCorner) {
  ReferenceGame model(20);
  EXPECT_EQ(model.corner_cells(0), std::vector<int>{0});
  EXPECT_EQ(model.corner_cells(1), std::vector<int>{19});
  EXPECT_EQ(model.corner_cells(2), std::vector<int>{399});
  EXPECT_EQ(model.corner_cells(3), std::vector<int>{380});
  // One position per orientation that has a square on its top-left bounding-box cell.
  int expected = 0;
  for (int kind = 0; kind < oracle::kKinds; ++kind) {
    for (const auto& shape : oracle::orientations(kind)) {
      if (shape.front() == std::make_pair(0, 0)) ++expected;
    }
  }
  EXPECT_EQ(static_cast<int>(model.live_positions().size()), expected);
  for (const PiecePosition& position : model.live_positions())
    EXPECT_TRUE(position.covers(0));
  for (int tile : model.legal_tiles()) {
    EXPECT_LE(tile / 20, 4);
    EXPECT_LE(tile % 20, 4);
  }
  // The last player's first piece covers cell 380 only.
  for (const PiecePosition& position : model.valid_positions(3))
    EXPECT_TRUE(position.covers(380));
}

TEST(OracleModel, RowOfFiveCompletesTheLongBarAndPassesTheTurn) {
  ReferenceGame model(20);
  for (int tile : {0, 1, 2, 3}) {
    const auto outcome = model.play(tile);
    EXPECT_FALSE(outcome.error);
    EXPECT_FALSE(outcome.completed_kind);
    EXPECT_EQ(model.current_player(), 0);
  }
  // The long bar, the L5 and the Y5 that contain the row of four; the I4 cannot be completed.
  EXPECT_EQ(model.legal_tiles(), (std::vector<int>{4, 20, 21, 22, 23}));
  EXPECT_EQ(model.live_positions().size(), 6U);  // and the I4 on the four tiles played
  const auto outcome = model.play(4);
  EXPECT_EQ(outcome.completed_kind, std::optional<int>(9));
  EXPECT_EQ(model.current_player(), 1);
  EXPECT_EQ(model.remaining_kinds(0).size(), 20U);
  EXPECT_EQ(model.last_piece_sizes()[0], 5U);
  EXPECT_EQ(model.corner_cells(0), std::vector<int>{25});
  EXPECT_TRUE(model.closed_to(20, 0));
  EXPECT_TRUE(model.closed_to(5, 0));
  EXPECT_FALSE(model.closed_to(5, 1));
  EXPECT_EQ(model.scores(), (std::array<int, 4>{-84, -89, -89, -89}));
  EXPECT_EQ(model.payoff(), (std::array<float, 4>{1.0F, 0.0F, 0.0F, 0.0F}));
}

TEST(OracleModel, IllegalTileIsRefusedAndChangesNothing) {
  ReferenceGame model(7);
  const auto outcome = model.play(24);
  EXPECT_EQ(outcome.error, std::optional<std::string>("Invalid move - Player 0, Tile 24"));
  EXPECT_TRUE(model.history().empty());
  EXPECT_EQ(model.owner(24), -1);
  EXPECT_EQ(model.current_player(), 0);
}

TEST(OracleModel, SingleSquareDoesNotCompleteWhileALargerPieceGoesOn) {
  ReferenceGame model(7);
  EXPECT_FALSE(model.play(0).completed_kind);  // every piece covers the corner
  // A named piece completes at once: index 0 is the single square.
  ReferenceGame named(7);
  const auto outcome = named.play(0, 0);
  EXPECT_EQ(outcome.completed_kind, std::optional<int>(0));
  EXPECT_EQ(named.last_piece_sizes()[0], 1U);
  EXPECT_EQ(named.current_player(), 1);
  // Player 0 now touches cell 8 corner to corner only.
  EXPECT_EQ(named.corner_cells(0), std::vector<int>{8});
}

TEST(OracleModel, PayoffSharesOneAmongTheBest) {
  EXPECT_EQ(oracle::payoff_of({-10, -3, -3, -20}), (std::array<float, 4>{0.0F, 0.5F, 0.5F, 0.0F}));
  EXPECT_EQ(oracle::payoff_of({-5, -5, -5, -5}),
            (std::array<float, 4>{0.25F, 0.25F, 0.25F, 0.25F}));
  EXPECT_EQ(oracle::payoff_of({-1, 15, 20, -1}), (std::array<float, 4>{0.0F, 0.0F, 1.0F, 0.0F}));
  EXPECT_EQ(oracle::payoff_of({3, 3, 3, 0})[0], 1.0F / 3.0F);
}

TEST(OracleModel, PlayerWithoutPositionIsFinishedAndSkipped) {
  // A random game on side 4 ends quickly; on the way the player to move always has a position,
  // and a finished player stays finished and never moves again.
  ReferenceGame model(4);
  std::mt19937_64 rng(7);
  std::array<bool, 4> was_finished{};
  while (!model.over()) {
    ASSERT_FALSE(model.finished()[model.current_player()]);
    ASSERT_FALSE(model.legal_tiles().empty());
    const auto legal = model.legal_tiles();
    model.play(legal[rng() % legal.size()]);
    for (int p = 0; p < 4; ++p) {
      if (was_finished[p]) {
        EXPECT_TRUE(model.finished()[p]);
      }
      was_finished[p] = model.finished()[p];
    }
  }
  EXPECT_TRUE(model.legal_tiles().empty());
  EXPECT_TRUE(model.live_positions().empty());
}

// ---------------------------------------------------------------------------------------------
// The engine against the model, in random games.

TEST(OracleRandomGames, Side4) {
  const RunStats stats = play_games(4, 700, 4'000'000);
  EXPECT_EQ(stats.games, 700);
  EXPECT_GT(stats.illegal_probes, 0);
  EXPECT_GT(stats.games_with_tied_winners, 0);
}

TEST(OracleRandomGames, Side5) {
  const RunStats stats = play_games(5, 600, 5'000'000);
  EXPECT_EQ(stats.games, 600);
  EXPECT_GT(stats.explicit_pieces, 0);
}

TEST(OracleRandomGames, Side7) {
  const RunStats stats = play_games(7, 400, 7'000'000);
  EXPECT_EQ(stats.games, 400);
}

TEST(OracleRandomGames, Side13) {
  const RunStats stats = play_games(13, 200, 13'000'000);
  EXPECT_EQ(stats.games, 200);
  // Named pieces empty some piece lists, so the all-pieces-placed scores are compared too.
  EXPECT_GT(stats.players_emptied, 0);
  EXPECT_GT(stats.emptied_on_single, 0);
}

TEST(OracleRandomGames, Side20) {
  const RunStats stats = play_games(20, 60, 20'000'000);
  EXPECT_EQ(stats.games, 60);
  EXPECT_GT(stats.players_emptied, 0);
}

TEST(OracleRandomGames, Side24) {
  const RunStats stats = play_games(24, 30, 24'000'000);
  EXPECT_EQ(stats.games, 30);
}

TEST(OracleRandomGames, Side36) {
  const RunStats stats = play_games(36, 10, 36'000'000);
  EXPECT_EQ(stats.games, 10);
}

}  // namespace

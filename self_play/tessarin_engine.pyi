"""The Tessarin game engine: ``Game(dim)`` plays one game square by square;
``HeuristicPlayer`` chooses tiles without a network; ``SelfPlayBatch`` and ``MatchBatch`` play
many games side by side whose waiting positions the host evaluates together.

Errors, the same rule as tessarin_self_play's:

- the host's invalid arguments (types, ranges, shapes, a board side or tile the engine refuses,
  a finished game given to a player, settings a batch refuses when it is made) raise TypeError
  or ValueError (OverflowError for an int out of range) before anything changes;
- misuse of a batch's protocol (complete() with nothing waiting, complete_from_answers() before
  answers(), a call while another runs, any call on a broken batch) raises RuntimeError;
- a broken invariant inside the engine during a call raises ``EngineStop``, a RuntimeError; a
  batch that raised it is broken, and every later call on it raises RuntimeError;
- an allocation failure raises MemoryError;
- an exception of the host's own (an ``__array__`` that raises, an interrupt) passes unchanged.
"""

MIN_DIM: int
"""The smallest board side the engine plays (4)."""
MAX_DIM: int
"""The largest board side the engine plays (46,340: every tile fits a signed 32-bit int)."""

def replay_records(
    dim: int,
    actions: object,
    game_lengths: object,
    policy: object,
    has_policy: object,
    payoffs: object,
    *,
    max_bytes: int = 2**32,
) -> tuple[Buffer, Buffer, Buffer]:
    """Replays every game of one record chunk on the engine and returns its training samples,
    one per action with a policy target: (states, values, ownership).

    The arrays are a chunk's, C-contiguous: ``actions`` int32 [N, 2] (player, tile),
    ``game_lengths`` int32 [G], ``policy`` float32 [N, dim * dim] visit shares, ``has_policy``
    bool [N], ``payoffs`` float32 [G, 4] by player. The samples: ``states`` uint8
    [M, 5, dim, dim], each the network input of the player to move (as ``Game.state``);
    ``values`` float32 [M, 4], entry j the payoff of player (mover + j) % 4; ``ownership`` uint8
    [M, dim, dim], j where player (mover + j) % 4 covers the cell when the game is over and 4
    where nobody does.

    Raises ValueError, with the game and the action (its index in the game and its row in the
    arrays) where there is one, when the side is not one the engine plays, the arrays' sizes
    disagree, the samples would need more than ``max_bytes`` (checked before anything is
    allocated), a player is out of range or not to move, a tile is off the board or not legal,
    a policy target is not a distribution over its position's legal tiles (finite,
    non-negative, summing to 1 within 1e-5), a game goes on after it is over or is not over at
    its end, or a game's payoffs are not the engine's payoff of its final position. TypeError
    for an array of another item type.
    """

class EngineStop(RuntimeError):
    """A broken invariant inside the engine during a call; a batch that raised it is broken."""

class Game:
    """A new game on a dim x dim board (dim >= 4), player 0 to move.

    One square (tile = row * dim + column) is played at a time; the turn passes when the
    piece is complete. Invalid input and rejected tiles raise ValueError.
    """

    def __init__(self, dim: int) -> None: ...
    def apply(self, tile: int, /) -> None:
        """Plays one square for the player to move; ValueError (nothing changes) if illegal."""

    def legal_tiles(self) -> list[int]:
        """The tiles the player to move may play, ascending."""

    def is_terminal(self) -> bool:
        """Whether all four players are finished."""

    def payoff(self) -> list[float]:
        """1/k for each of the k best players, 0 for the others, by player."""

    def state(self, channels_last: bool = False) -> bytes:
        """The network input for the player to move: 5 x dim x dim bytes of 0 and 1.

        Planes 0 to 3 hold the squares of the player to move and of the next three players,
        plane 4 the legal tiles; ``channels_last`` gives dim x dim x 5 instead.
        """

    def copy(self) -> Game:
        """An independent copy."""

    def __copy__(self) -> Game: ...
    def render(self) -> str:
        """The board as dim lines of coloured squares."""

    def scores(self) -> list[int]:
        """Each player's score, by player: squares laid less 89 while it holds pieces; with none
        left, squares less 74, or less 69 when its last piece was the single square. The payoff
        goes to the best scores."""

    def pieces(self, player: int, /) -> list[tuple[str, list[tuple[int, int]]]]:
        """The pieces ``player`` (0 to 3; ValueError otherwise) still holds, in the piece table's
        order: (name, cells), the cells the (row, column) squares of the piece's base shape."""

    @property
    def current_player(self) -> int:
        """The player to move (0 to 3)."""

    @property
    def dim(self) -> int:
        """The board side."""

    @property
    def turn_tiles(self) -> int:
        """Tiles the player to move has played of the piece it is laying (0 between pieces)."""

    @property
    def history(self) -> list[tuple[int, int]]:
        """Every applied tile as (player, tile), in order."""

class HeuristicPlayer:
    """Lays the largest piece it can, the placement that opens the most new corner cells.

    Ties are drawn from the player's own generator, seeded with ``seed`` (or from the system's
    entropy when None), so a seeded player makes the same choices in the same games. It commits
    to a placement at the first tile of a turn and then plays that placement's squares.
    """

    def __init__(self, seed: int | None = None) -> None: ...
    def choose(self, game: Game, /) -> int:
        """The tile to play for the player to move (not played); ValueError if the game is over."""

class Buffer:
    """Memory written by the engine, read through the buffer protocol (``numpy.asarray``,
    ``memoryview``; ``torch.from_numpy(numpy.asarray(buffer))`` for a tensor without a copy).
    C-contiguous and writable. Made by the batched drivers and ``replay_records`` only."""

class SelfPlayBatch:
    """``games`` training games side by side, ``total_games`` in all, each exactly the worker
    module's training game (own tree, root noise, tree reuse, sampling then greedy choice).

    ``config`` is any object with the module's eight settings, read as the module reads them
    (AttributeError, or TypeError "failed to extract field Config.<name>"); settings the module
    would stop on (rep not 1 or 2, a board side below 4, dirichlet_alpha not above 0) raise
    ValueError here. ``dtype`` is "float32" or "uint8" for the positions. With ``seed`` game k
    (in the order games start) draws from a generator seeded from seed and k, mixed so that
    batches of nearby seeds play unrelated games; without, every game is seeded from the
    operating system.

    With ``fast_sims`` above 0, each action's search is a full one (sims_per_move simulations,
    root noise, a policy target) with probability ``full_search_share`` and otherwise a fast one
    (fast_sims simulations, no noise, NaN policy shares: no target). With ``engine_opponents``
    above 0, that share of the games seats 1 to 3 engine players (random or heuristic, at random
    seats) whose actions have NaN policy shares. Shares outside [0, 1] raise ValueError.

    With ``cached_positions`` above 0 the games share a memo of that many network answers by
    position (the whole network input, compared exactly; the oldest go first): a game that waits
    on a position the memo holds is answered from it and plays on, so the same position is
    evaluated once however often the searches meet it. A network whose answer depends on its
    input alone plays the same games with and without the memo; answers with a non-finite
    number are not kept. ``cache_hits`` and ``cache_misses`` count its lookups.

    One call at a time: a call made while another runs (another thread's, or from a callback of
    this one) raises RuntimeError.
    step() and complete() release the interpreter lock for the engine's work.
    """

    def __init__(
        self,
        config: object,
        games: int,
        total_games: int,
        *,
        dtype: str = "float32",
        seed: int | None = None,
        fast_sims: int = 0,
        full_search_share: float = 1.0,
        engine_opponents: float = 0.0,
        cached_positions: int = 0,
    ) -> None: ...
    def step(self) -> tuple[Buffer, Buffer]:
        """Advances every game that does not wait; returns (positions, slots).

        positions: [B, 5, dim, dim] (rep 1) or [B, dim, dim, 5] (rep 2) of the chosen dtype, the
        network input of the player to move as Game.state() gives it; slots: int64 [B], the game
        slot of each row. B is 0 once every game has finished. Called again before complete(),
        it returns the same positions.
        """

    def complete(self, policy_logits: object, value_logits: object) -> None:
        """Answers the last step: C-contiguous float32 buffers [B, dim*dim] and [B, 4] (value
        logits relative to the player to move), row k for the k-th position. An object without
        a buffer is asked for one through ``__array__`` (a CPU torch tensor: no copy).

        A buffer of another type, format, shape or layout raises TypeError or ValueError naming
        what was expected; no pending step raises RuntimeError. A refused answer changes nothing.
        Non-finite logits are taken as the module takes them: a game left without a legal child
        or with NaN values is abandoned (games_failed, last_failure), the others play on.
        """

    def answers(self) -> tuple[Buffer, Buffer]:
        """The batch's own answer buffers (policy, value): float32 [S, dim*dim] and [S, 4] for
        S = min(games, total_games) slots, writable, the same objects at every call. Write row k
        for the k-th position of a step, then call complete_from_answers(). A host that keeps
        views of them (NumPy arrays, memoryviews) takes no buffer per step, which under PyPy
        keeps memory flat."""

    def complete_from_answers(self) -> None:
        """Answers the last step from the first B rows of the answer buffers, as complete()
        would with those rows; RuntimeError when nothing waits or answers() was never called."""

    def take_finished(self) -> list[tuple[list[tuple[int, int]], list[list[tuple[int, float]]], list[float]]]:
        """(history, policies, payoff) of every game played to its end since the last call, in
        the order they finished: the worker module's training record without the worker id."""

    def take_failed(self) -> list[str]:
        """Why each game abandoned since the last call was abandoned, in order: a host counts
        and reports abandoned games from it instead of waiting for them."""

    @property
    def done(self) -> bool:
        """True once total_games games have finished."""

    @property
    def games_finished(self) -> int:
        """Games finished so far, abandoned ones included."""

    @property
    def games_failed(self) -> int:
        """Games abandoned: a search failed, or the answers left a position without a child."""

    @property
    def cache_hits(self) -> int:
        """Evaluations answered from the position memo (0 without one)."""

    @property
    def cache_misses(self) -> int:
        """Positions the memo did not hold, evaluated by the host (0 without a memo)."""

    @property
    def pending(self) -> int:
        """Positions of the last step still waiting for complete()."""

    @property
    def last_failure(self) -> str | None:
        """Why the last abandoned game was abandoned, or None."""

class MatchBatch:
    """``games`` arena games, ``parallel`` at a time (all by default).

    ``seats`` names 4 players, each a network index (int from 0), "random", "heuristic" or
    "host". Game k (from 0, in the order games start) seats lineup entry i at seat (i + k) % 4,
    so over a multiple of 4 games every entry plays every seat equally often.

    A network seat plays the tile of highest prior after one evaluation when ``sims_per_move``
    is 0 (as the worker module's test games: the first of equal priors, a random legal tile when
    no tile got a prior), otherwise the most visited tile of a search of ``sims_per_move``
    simulations: the training game's search, with root noise only when
    ``exploration_fraction`` is above 0 (0 by default). Each searching lineup entry keeps its own
    tree from one search to the next, and every tile played by any seat moves it down.
    For the first ``sample_moves`` actions of a game (counted over all seats) a network seat draws
    its tile instead: in proportion to the priors without search, to the root's visit shares
    with search, as the training game samples. Without draws, networks without search play the
    same game in every game of a rotation.

    A "host" seat is played by the host (a person at the web page): a game whose host seat is to
    move gives step() no row and waits, named by host_turns(), until play() lays its tile; the
    network seats' kept trees follow the host's tiles too. With ``start``, (player, tile) pairs,
    every game starts from the position after those actions (its history holds them), each
    checked against the rules: a player not to move or a tile that is not legal raises
    ValueError naming the action.

    With ``cached_positions`` above 0 each network keeps a memo of that many answers by position,
    as SelfPlayBatch's: a network seat whose position its network's memo holds is answered from
    it (``cache_hits``, ``cache_misses``, over all networks).

    Buffers, answers, refusals and threads as for SelfPlayBatch.
    """

    def __init__(
        self,
        dim: int,
        rep: int,
        seats: object,
        games: int,
        sims_per_move: int = 0,
        *,
        parallel: int = ...,
        sample_moves: int = 0,
        c_base: float = 19652.0,
        c_init: float = 1.25,
        dirichlet_alpha: float = 0.3,
        exploration_fraction: float = 0.0,
        dtype: str = "float32",
        seed: int | None = None,
        start: object = None,
        cached_positions: int = 0,
    ) -> None: ...
    def step(self) -> tuple[Buffer, Buffer, Buffer]:
        """(positions, slots, networks): rows grouped by network index, ascending; networks is
        int64 [B], the index of the network that must answer each row."""

    def complete(self, policy_logits: object, value_logits: object) -> None:
        """As SelfPlayBatch.complete."""

    def answers(self) -> tuple[Buffer, Buffer]:
        """As SelfPlayBatch.answers."""

    def complete_from_answers(self) -> None:
        """As SelfPlayBatch.complete_from_answers."""

    def take_finished(self) -> list[tuple[list[float], list[float], int, int, Buffer]]:
        """(payoff_by_entry, payoff_by_seat, rotation, number, history) of every game played to
        its end since the last call, in the order they finished. Entry i sat at seat
        (i + rotation) % 4; number is the game's index in the match (from 0, in the order games
        start; rotation == number % 4); history is an int32 Buffer [actions, 2] of (player, tile)
        for every action, which NumPy reads without a copy."""

    def take_failed(self) -> list[str]:
        """As SelfPlayBatch.take_failed."""

    def host_turns(self) -> list[int]:
        """The slots whose game waits for a tile from the host (a "host" seat is to move),
        ascending."""

    def play(self, slot: int, tile: int) -> None:
        """Lays ``tile`` for the host seat to move in the game of ``slot``; the game goes on at
        the next step(). A tile that is not legal raises ValueError whose message says why, in
        words for a person (the cell is covered, it shares an edge with the player's own squares,
        the piece being laid cannot grow there, no piece held covers it and a corner cell), and
        changes nothing; so does a slot the batch does not have. RuntimeError when that game
        does not wait for the host."""

    def history(self, slot: int, /) -> Buffer:
        """(player, tile) of every action so far of the game in ``slot``, the start's included:
        an int32 Buffer [actions, 2]. RuntimeError once the slot's games have all finished."""

    @property
    def done(self) -> bool: ...
    @property
    def games_finished(self) -> int: ...
    @property
    def games_failed(self) -> int: ...
    @property
    def pending(self) -> int: ...
    @property
    def last_failure(self) -> str | None: ...
    @property
    def cache_hits(self) -> int: ...
    @property
    def cache_misses(self) -> int: ...

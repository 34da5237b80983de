"""The Tessarin game engine: ``Game(dim)`` plays one game square by square;
``HeuristicPlayer`` chooses tiles without a network."""

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

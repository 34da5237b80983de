"""Facts of the game that the host's arrays and files are shaped by."""

PLAYERS = 4
"""Seats of every game, numbered 0 to 3; a payoff and a value vector have one entry each."""

INPUT_PLANES = 5
"""Planes of a position as the network reads it: the squares of the player to move, of the next
three players, and the legal tiles."""

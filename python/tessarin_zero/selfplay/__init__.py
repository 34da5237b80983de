"""Self-play: the drivers that play training games (the worker module per game, the engine's
batch), the local worker pools and the Ray cluster's actors."""

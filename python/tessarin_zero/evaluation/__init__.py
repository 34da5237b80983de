"""Measuring networks: matches with rotated seats on the engine's match batch, their statistics,
the arena and its promotion rule, the figures a loop ends with, and games as pictures."""

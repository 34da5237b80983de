"""Learning: training samples replayed from record chunks, the optimisation, the warm start,
the loop of self-play, training and arena, and its metrics."""

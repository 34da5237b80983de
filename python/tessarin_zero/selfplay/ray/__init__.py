"""Self-play on a Ray cluster: the connection, its actors, the pool over them and the ledger of
which games are owed."""

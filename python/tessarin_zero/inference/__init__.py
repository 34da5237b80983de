"""The network: its layers, checkpoints, the ways of running it on a batch of positions, and
the inference server that answers the worker module's evaluations."""

"""The reference training host around the self-play module.

An inference server batches the workers' network evaluations, a worker pool plays self-play and
test games with ``tessarin_self_play``, records go to disk, a network trains on them and an
arena promotes it. ``python -m tessarin_zero --help`` lists the commands.
"""

__version__ = "0.1.0"

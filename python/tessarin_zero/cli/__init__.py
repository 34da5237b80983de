"""The command line, ``python -m tessarin_zero``: its flags (``flags``), its commands
(``commands``) and what they print (``reports``)."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Optional

from tessarin_zero.cli.flags import parse


def main(argv: Optional[Sequence[str]] = None) -> None:
    args = parse(argv)
    # torch and the module load only once the command line is sound
    from tessarin_zero.cli import commands

    commands.run(args)

"""How a command run in the test's process ended: its exit status and what it said."""

from __future__ import annotations

from collections.abc import Sequence

import pytest

from tessarin_zero.cli import main


def exit_of(argv: Sequence[str], capsys: pytest.CaptureFixture[str]) -> tuple[int, str]:
    """The exit status of `main(argv)`, which must fail, and its standard error: a failure's
    one line (``sys.exit("error: ...")``, status 1) or a usage error's text (status 2)."""
    capsys.readouterr()
    with pytest.raises(SystemExit) as stop:
        main(list(argv))
    code = stop.value.code
    if isinstance(code, str):
        return 1, code
    return int(code or 0), capsys.readouterr().err

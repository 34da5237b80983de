"""Error texts for messages about files."""

from __future__ import annotations

_LIMIT = 160


def describe(error: BaseException) -> str:
    """``Type: message`` in printable ASCII and at most a line long: a damaged file's bytes
    often end up in a library's message."""
    text = str(error).encode("ascii", "backslashreplace").decode("ascii")
    text = "".join(c if c.isprintable() else "?" for c in text)
    if len(text) > _LIMIT:
        text = text[: _LIMIT - 3] + "..."
    return f"{type(error).__name__}: {text}" if text else type(error).__name__

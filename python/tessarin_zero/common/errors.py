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


def file_problem(error: OSError, folder: object = None) -> str:
    """What went wrong with which file, in one line: ``path: No space left on device``. An error
    that names no file (a write to an open stream) says the `folder` it happened in instead."""
    reason = error.strerror or describe(error)
    names = [str(name) for name in (error.filename, error.filename2) if name is not None]
    if names:
        return f"{' and '.join(names)}: {reason}"
    return f"{reason} (in {folder})" if folder is not None else reason

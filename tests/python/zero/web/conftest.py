"""The files every test of the page serves, made once per session (served.py)."""

from __future__ import annotations

from pathlib import Path

import pytest

from served import make_served_files


@pytest.fixture(scope="session")
def served_files(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return make_served_files(tmp_path_factory.mktemp("served"))

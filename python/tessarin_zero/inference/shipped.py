"""Networks that ship with the package, found by a short name.

Each lies in the package's ``shipped/`` folder as ``<name>.pt`` (a checkpoint) beside
``<name>.json``, its card: the board side it was trained on, the command and seed that trained
it, and the figures measured for it. A command that takes a network takes either a file or one of
these names, so people can play against and evaluate a trained network without training first.
Only the standard library is imported here: the command line resolves the names before the
host's dependencies are loaded.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Optional

from tessarin_zero.common.checks import FIELD_CHECKS

SHIPPED_FOLDER = Path(__file__).resolve().parent.parent / "shipped"


@dataclass(frozen=True)
class ShippedNetwork:
    """A shipped network: its short name, its checkpoint, the side it was trained on and its
    card (the command, seed and figures, as written beside it)."""

    name: str
    path: Path
    side: int
    card: dict[str, Any]


def shipped_networks(folder: Optional[Path] = None) -> list[ShippedNetwork]:
    """The shipped networks, by name. A card without its checkpoint, or with no sound side, is
    a packaging fault: ValueError naming the card."""
    folder = folder or SHIPPED_FOLDER
    found = []
    for card_path in sorted(folder.glob("*.json")) if folder.is_dir() else []:
        try:
            card = json.loads(card_path.read_text(encoding="utf-8"))
            if not isinstance(card, dict):
                raise ValueError("not a JSON object")
            side = FIELD_CHECKS["dim"].stored(card.get("side"))
        except ValueError as error:  # SettingError is one
            raise ValueError(f"{card_path}: not a network card ({error})") from None
        checkpoint = card_path.with_suffix(".pt")
        if not checkpoint.is_file():
            raise ValueError(f"{card_path}: its network {checkpoint.name} is missing")
        found.append(ShippedNetwork(card_path.stem, checkpoint, side, card))
    return found


def network_file(text: str, folder: Optional[Path] = None) -> Path:
    """The checkpoint `text` names: a file, or else a shipped network's short name. ValueError
    (naming what is shipped) when it is neither."""
    path = Path(text)
    if path.is_file():
        return path
    shipped = shipped_networks(folder)
    for network in shipped:
        if network.name == text:
            return network.path
    names = ", ".join(network.name for network in shipped) or "none"
    raise ValueError(f"{text}: no such file, nor a shipped network (shipped: {names})")

"""A loop's stored settings (``run.json``), checked as its flags are: every value by its flag's
check (``common.checks``), no key missing, none unknown. The keys that older versions did not
write are not missing: they take the value that their absence meant.

This module imports only the standard library and ``common``, as ``flags`` does.
"""

from __future__ import annotations

import argparse
import json
from collections.abc import Collection, Mapping
from pathlib import Path
from typing import Any

from tessarin_zero.common.checks import SettingError, Switch
from tessarin_zero.common.settings import FIRST_HEADS

ADDED_LATER = (
    "batch_games",
    "canonical",
    "checkpoint",
    "driver",
    "engine_opponent_share",
    "fast_sims_per_move",
    "final_games",
    "final_games_with_search",
    "final_learning_rate",
    "final_search_sims",
    "full_search_share",
    "games_vs_heuristic",
    "gumbel_considered",
    "inference",
    "ownership_head",
    "ownership_weight",
    "policy_channels",
    "position_cache",
    "rating_games",
    "root_search",
    "value_channels",
    "value_weight",
    "warm_start_epochs",
    "warm_start_games",
)
"""Settings that the first loops to store ``run.json`` did not store. Their absence means the
flag's default, except for those in `OLDER_VALUES`."""
OLDER_VALUES: dict[str, Any] = {
    **FIRST_HEADS,  # their networks: unturned, the first heads (as their checkpoints say)
    "final_learning_rate": None,  # a constant learning rate
    "checkpoint": None,  # their loops had saved their first network before run.json
}
NULLABLE = ("final_learning_rate",)
"""Settings stored as null though their flag has a value by default: null is what an older
folder resumed once stores again for its constant learning rate."""


def checked_loop_settings(
    path: Path,
    stored: Mapping[str, object],
    loop: argparse.ArgumentParser,
    not_stored: Collection[str],
) -> dict[str, Any]:
    """Every stored flag of the `loop` parser, from `stored` (the JSON object of the file
    `path`), checked as the flag's value is; SettingError naming the file and the key for a
    missing or unknown key or a value that the flag would refuse."""
    actions = {
        action.dest: action for action in loop._actions if action.dest not in (*not_stored, "help")
    }
    unknown = sorted(set(stored) - set(actions))
    if unknown:
        raise SettingError(f"{path}: unknown setting {unknown[0]!r}")
    settings = {}
    for name, action in sorted(actions.items()):
        if name not in stored:
            if name not in ADDED_LATER:
                raise SettingError(f"{path}: the setting {name!r} is missing")
            settings[name] = OLDER_VALUES.get(name, action.default)
            continue
        try:
            settings[name] = _checked(action, stored[name], nullable=name in NULLABLE)
        except SettingError as error:
            raise SettingError(f"{path}: {name}: {error}") from None
    return settings


def _checked(action: argparse.Action, value: object, nullable: bool) -> Any:
    """`value` as `action`'s flag would have given it."""
    if value is None and (nullable or action.default is None):
        return None
    if isinstance(action, argparse.BooleanOptionalAction):
        return Switch().stored(value)
    if action.choices is not None:
        if value not in action.choices:
            choices = ", ".join(map(str, action.choices))
            raise SettingError(f"{json.dumps(value)} is not one of {choices}")
        return value
    check = getattr(action.type, "check", None)
    if check is not None:
        return check.stored(value)
    if not isinstance(value, str):  # the one other kind: a file's path (--checkpoint), where
        raise SettingError(
            f"{json.dumps(value)} is not a path"
        )  # it was, whether or not it is still
    return Path(value)

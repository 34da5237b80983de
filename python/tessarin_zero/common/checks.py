"""The checks of every setting's value, shared by all that reads settings: the command line's
flags (text) and the files that store them (a loop's ``run.json``, a checkpoint's network size;
JSON values). A value refused as a flag is refused in a file too, with the same words.

This module imports only the standard library: the command line's ``--help`` uses it before the
host's dependencies are installed.
"""

from __future__ import annotations

import dataclasses
import json
import math
import re
import struct
from abc import ABC, abstractmethod
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Optional, TypeVar

from tessarin_zero.common.settings import INFERENCE_PATHS, ROOT_SEARCHES

MAX_DIM = 46_340  # the engine's largest board side


class SettingError(ValueError):
    """A setting's value is of the wrong kind or out of range; the message says why."""


def _shown(value: object) -> str:
    """A value read from a JSON file, as the file has it (null, "text", 3)."""
    try:
        return json.dumps(value)
    except (TypeError, ValueError):
        return repr(value)


class Check(ABC):
    """The check of one setting: `text` reads a flag's text, `stored` a value read from a file;
    both return the value or raise SettingError."""

    @abstractmethod
    def text(self, text: str) -> Any:
        """The value of a flag's text."""

    @abstractmethod
    def stored(self, value: object) -> Any:
        """The value of a JSON value (a number must be a JSON number, text a JSON string)."""


@dataclass(frozen=True)
class Whole(Check):
    """An integer in [low, high] (no upper bound without `high`)."""

    low: int
    high: Optional[int] = None

    def text(self, text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise SettingError(f"{text!r} is not a whole number") from None
        return self._in_range(value)

    def stored(self, value: object) -> int:
        if isinstance(value, bool) or not isinstance(value, int):
            raise SettingError(f"{_shown(value)} is not a whole number")
        return self._in_range(value)

    def _in_range(self, value: int) -> int:
        if value < self.low or (self.high is not None and value > self.high):
            span = (
                f"at least {self.low}" if self.high is None else f"from {self.low} to {self.high}"
            )
            raise SettingError(f"{value} is out of range: it must be {span}")
        return value


@dataclass(frozen=True)
class Real(Check):
    """A finite number >= low (> low with `above`) and <= high. `single`: it must also fit a
    32-bit float without becoming 0 or infinite (what the module reads)."""

    low: float
    high: float = math.inf
    above: bool = False
    single: bool = False

    def text(self, text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise SettingError(f"{text!r} is not a number") from None
        return self._in_range(value, text)

    def stored(self, value: object) -> float:
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise SettingError(f"{_shown(value)} is not a number")
        return self._in_range(float(value), _shown(value))

    def _in_range(self, value: float, shown: str) -> float:
        low_ok = value > self.low if self.above else value >= self.low
        if not (math.isfinite(value) and low_ok and value <= self.high):
            bound = f"{'above' if self.above else 'at least'} {self.low:g}"
            span = bound if self.high == math.inf else f"{bound} and at most {self.high:g}"
            raise SettingError(f"{shown} is out of range: it must be {span}")
        if self.single:
            try:
                rounded = struct.unpack("f", struct.pack("f", value))[0]
            except OverflowError:
                rounded = math.inf
            if not math.isfinite(rounded) or (value != 0 and rounded == 0):
                raise SettingError(f"{shown} does not fit a 32-bit float")
        return value


@dataclass(frozen=True)
class Text(Check):
    """A string that is one of `choices`, or that matches `pattern` (told as `described`)."""

    choices: tuple[str, ...] = ()
    pattern: str = ""
    described: str = ""

    def text(self, text: str) -> str:
        if text in self.choices or (self.pattern and re.fullmatch(self.pattern, text)):
            return text
        wanted = self.described or f"one of {', '.join(self.choices)}"
        raise SettingError(f"{text!r} is not {wanted}")

    def stored(self, value: object) -> str:
        if not isinstance(value, str):
            raise SettingError(f"{_shown(value)} is not text")
        return self.text(value)


@dataclass(frozen=True)
class Switch(Check):
    """On or off: a flag pair ``--name`` / ``--no-name``; stored as true or false."""

    def text(self, text: str) -> bool:
        raise SettingError("a switch takes no value")

    def stored(self, value: object) -> bool:
        if not isinstance(value, bool):
            raise SettingError(f"{_shown(value)} is not true or false")
        return value


FIELD_CHECKS: dict[str, Check] = {
    "dim": Whole(4, MAX_DIM),
    "rep": Whole(1, 2),
    "sims_per_move": Whole(1),
    "sample_moves": Whole(0),
    "c_base": Real(0.0, above=True, single=True),
    "c_init": Real(0.0, single=True),
    "dirichlet_alpha": Real(0.0, above=True, single=True),
    "exploration_fraction": Real(0.0, 1.0, single=True),
    "fast_sims_per_move": Whole(0),
    "full_search_share": Real(0.0, 1.0, single=True),
    "engine_opponent_share": Real(0.0, 1.0, single=True),
    "root_search": Text(ROOT_SEARCHES),
    "gumbel_considered": Whole(1),
    "channels": Whole(1),
    "blocks": Whole(0),
    "canonical": Switch(),
    "policy_channels": Whole(1),
    "value_channels": Whole(1),
    "ownership_head": Switch(),
    "max_batch": Whole(1),
    "max_wait_ms": Real(0.0),
    "device": Text(pattern=r"cpu|cuda(:\d+)?", described="cpu, cuda or cuda:<index>"),
    "position_cache": Whole(0, 2**31),
    "inference": Text(INFERENCE_PATHS),
    "batch_size": Whole(1),
    "epochs": Whole(1),
    "learning_rate": Real(0.0, above=True),
    "weight_decay": Real(0.0),
    "window_chunks": Whole(0),
    "augment": Switch(),
    "ownership_weight": Real(0.0),
    "value_weight": Real(0.0),
}
"""The check of every field of the settings classes (``settings``)."""

Settings = TypeVar("Settings")


def stored_settings(
    kind: type[Settings], stored: Mapping[str, object], older: Mapping[str, object]
) -> Settings:
    """The settings `kind` (a dataclass of ``settings``) of a file's JSON object, every value
    checked. A field the object lacks takes its value in `older` (what files written before the
    field existed mean by its absence); SettingError naming the key for any other missing key,
    an unknown key or a bad value."""
    names = [field.name for field in dataclasses.fields(kind)]  # type: ignore[arg-type]
    unknown = sorted(set(stored) - set(names))
    if unknown:
        raise SettingError(f"unknown setting {unknown[0]!r}")
    values = {}
    for name in names:
        if name in stored:
            try:
                values[name] = FIELD_CHECKS[name].stored(stored[name])
            except SettingError as error:
                raise SettingError(f"{name}: {error}") from None
        elif name in older:
            values[name] = older[name]
        else:
            raise SettingError(f"no {name!r}")
    return kind(**values)

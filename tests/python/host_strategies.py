"""Hypothesis strategies for what a host can hand tessarin_self_play: inference replies of any
shape and configuration objects whose attributes are of any type or raise.

Objects that misbehave do so through their protocol methods (__float__, __index__, __len__,
__iter__, __getitem__), each of which may answer properly, answer with the wrong type, raise an
Exception, or raise KeyboardInterrupt.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable, Iterator, Optional

from hypothesis import strategies as st

from fakes import DEFAULT_CONFIG


class HostileError(Exception):
    """Raised by misbehaving objects; every live instance holds a reference to this class."""


@dataclass(frozen=True)
class Action:
    """What one protocol method does: raise `raises()`, or return `value`."""

    value: Any = None
    raises: Optional[Callable[[], BaseException]] = None

    def __call__(self, proper: Callable[[], Any]) -> Any:
        if self.raises is not None:
            raise self.raises()
        return proper() if self.value is PROPER else self.value

    @property
    def interrupts(self) -> bool:
        return self.raises is KeyboardInterrupt


PROPER = object()  # an Action value meaning "answer as a well-behaved object would"


class Number:
    """A number as far as __float__ and __index__ go."""

    def __init__(self, value: int, action: Action) -> None:
        self.value = value
        self.action = action

    def __float__(self) -> Any:
        return self.action(lambda: float(self.value))

    def __index__(self) -> Any:
        return self.action(lambda: self.value)

    def __repr__(self) -> str:
        return f"Number({self.value}, {self.action})"


class Sequence:
    """A sequence of `items` whose __len__, __iter__ and __getitem__ follow their actions."""

    def __init__(self, items: list[Any], length: Action, iterate: Action, get: Action) -> None:
        self.items = items
        self.length = length
        self.iterate = iterate
        self.get = get

    def __len__(self) -> Any:
        return self.length(lambda: len(self.items))

    def __iter__(self) -> Iterator[Any]:
        return self.iterate(lambda: iter(self.items))  # type: ignore[no-any-return]

    def __getitem__(self, index: Any) -> Any:
        return self.get(lambda: self.items[index])

    def __repr__(self) -> str:
        return f"Sequence({self.items!r})"


def actions(wrong: st.SearchStrategy[Any]) -> st.SearchStrategy[Action]:
    """Mostly proper answers; otherwise a wrong answer from `wrong` or a raise."""
    return st.one_of(
        st.just(Action(PROPER)),
        st.just(Action(PROPER)),
        st.just(Action(PROPER)),
        wrong.map(lambda value: Action(value)),
        st.sampled_from([HostileError, KeyboardInterrupt, ZeroDivisionError]).map(
            lambda error: Action(raises=error)
        ),
    )


def interrupting(obj: Any) -> bool:
    """Whether `obj` or anything inside it may raise KeyboardInterrupt."""
    if isinstance(obj, Number):
        return obj.action.interrupts
    if isinstance(obj, Sequence):
        return any(a.interrupts for a in (obj.length, obj.iterate, obj.get)) or any(
            interrupting(item) for item in obj.items
        )
    if isinstance(obj, (list, tuple)):
        return any(interrupting(item) for item in obj)
    if isinstance(obj, dict):
        return any(interrupting(item) for item in obj.values())
    return False


SHARED_TYPES = (type(None), bool, int, float, str, bytes)


def owned_objects(obj: Any) -> list[Any]:
    """`obj` and everything inside it whose reference count the module must leave unchanged
    (small numbers and strings are shared with the rest of the process)."""
    found: list[Any] = []

    def walk(item: Any) -> None:
        if isinstance(item, SHARED_TYPES) or (type(item) is tuple and not item):  # () is shared
            return
        found.append(item)
        if isinstance(item, Sequence):
            found.extend([item.length, item.iterate, item.get])
            inner: Any = item.items
        elif isinstance(item, Number):
            found.append(item.action)
            return
        else:
            inner = item.values() if isinstance(item, dict) else item
        if isinstance(item, (list, tuple, dict, Sequence)):
            for element in list(inner):
                walk(element)

    walk(obj)
    return found


def numbers() -> st.SearchStrategy[Any]:
    """Logits: plain and odd floats, ints (some too large for a float), bools and Numbers."""
    return st.one_of(
        st.floats(allow_nan=True, allow_infinity=True),
        st.floats(-5.0, 5.0),
        st.integers(-(2**70), 2**70),
        st.just(10**400),
        st.booleans(),
        st.builds(Number, st.integers(-3, 3), actions(st.sampled_from(["x", None, 1j]))),
    )


def junk() -> st.SearchStrategy[Any]:
    """Values that are not numbers."""
    return st.one_of(st.none(), st.text(max_size=3), st.binary(max_size=3), st.just(object()))


def pattern(length: int) -> list[float]:
    """`length` proper logits. A fixed pattern keeps large policies cheap to draw; replacements
    bring the variety."""
    return [float((i * 7919) % 13 - 6) for i in range(length)]


def containers(items: list[Any]) -> st.SearchStrategy[Any]:
    """`items` as a list, a tuple or a Sequence object."""
    wrong = st.sampled_from(["x", -1, None, 3])
    return st.one_of(
        st.just(items),
        st.just(tuple(items)),
        st.builds(Sequence, st.just(items), actions(wrong), actions(wrong), actions(wrong)),
    )


@st.composite
def logit_lists(draw: st.DrawFn, size: int) -> Any:
    """Logits for `size` entries: half the time a proper list of that many numbers; otherwise
    about that many numbers with a few replaced by odd numbers or by something else, in some
    sequence, and now and then no sequence at all."""
    mode = draw(st.integers(0, 9))
    if mode < 5:
        return pattern(size)
    if mode == 5:
        return draw(st.one_of(junk(), numbers()))
    length = draw(
        st.one_of(st.just(size), st.integers(max(0, size - 3), size + 3), st.integers(0, size))
    )
    items = pattern(length)
    if length and draw(st.booleans()):
        replacements = st.tuples(st.integers(0, length - 1), st.one_of(numbers(), junk()))
        for index, element in draw(st.lists(replacements, min_size=1, max_size=2)):
            items[index] = element
    return draw(containers(items))


def nested(leaves: st.SearchStrategy[Any]) -> st.SearchStrategy[Any]:
    """Any nesting of lists, tuples and dicts over `leaves`."""
    return st.recursive(
        leaves,
        lambda children: st.one_of(
            st.lists(children, max_size=4),
            st.lists(children, max_size=4).map(tuple),
            st.dictionaries(st.integers(-1, 2), children, max_size=3),
        ),
        max_leaves=12,
    )


def replies(cells: int) -> st.SearchStrategy[Any]:
    """Inference replies for a board of `cells` cells: a policy and values in some container,
    sometimes with extra items, or any nesting of anything."""
    values = st.one_of(logit_lists(4), st.integers(0, 6).flatmap(logit_lists))
    pair = st.tuples(logit_lists(cells), values)
    short = st.integers(0, cells - 1).map(lambda length: (pattern(length), pattern(4)))
    wrong = st.sampled_from(["x", -1, None])
    return st.one_of(
        pair,
        short,
        pair.map(list),
        pair.map(lambda p: (*p, "extra")),
        pair.map(lambda p: {0: p[0], 1: p[1]}),
        pair.flatmap(
            lambda p: st.builds(
                Sequence, st.just(list(p)), actions(wrong), actions(wrong), actions(wrong)
            )
        ),
        nested(st.one_of(numbers(), junk())),
    )


# Field values that keep a game small: boards of side 5 or 6, at most two simulations.
SMALL: dict[str, st.SearchStrategy[Any]] = {
    "dim": st.integers(5, 6),
    "rep": st.sampled_from([1, 2]),
    "sims_per_move": st.integers(0, 2),
    "sample_moves": st.integers(0, 2**64 - 1),
    "c_base": st.floats(allow_nan=True, allow_infinity=True),
    "c_init": st.floats(allow_nan=True, allow_infinity=True),
    "dirichlet_alpha": st.floats(allow_nan=True, allow_infinity=True),
    "exploration_fraction": st.floats(allow_nan=True, allow_infinity=True),
}

# Integers that are refused by the time the game starts (a side that is too small or too large,
# a representation other than 1 or 2), or by the integer conversion.
BAD_INTEGERS = st.one_of(
    st.integers(max_value=3), st.integers(min_value=46341), st.integers(min_value=2**64)
)


@dataclass
class RaisingProperty:
    """Marks a field whose read raises `error()`."""

    error: Callable[[], BaseException]


MISSING = object()  # marks a field that the configuration object lacks


def odd_values(name: str) -> st.SearchStrategy[Any]:
    """A field value other than the small proper ones: the same through __index__ or __float__
    (which may misbehave), a value of another type or range, a raising property, or none."""
    valid = SMALL[name]
    integer_field = name in ("dim", "rep", "sims_per_move", "sample_moves")
    index_like = st.builds(
        Number,
        valid if integer_field else st.integers(-3, 3),
        actions(st.sampled_from([1.5, "x", None])),
    )
    other = st.one_of(
        junk(),
        st.floats(allow_nan=True, allow_infinity=True),
        BAD_INTEGERS if integer_field else st.integers(-(2**70), 2**70),
        st.lists(st.integers(0, 3), max_size=2),
        st.just(MISSING),
        st.sampled_from([HostileError, KeyboardInterrupt, AttributeError]).map(RaisingProperty),
    )
    return st.one_of(index_like, other)


@st.composite
def config_objects(draw: st.DrawFn) -> Any:
    """Instances of a fresh class per example: a few fields (often none) of any type, a property
    that raises, or missing; the others small proper values."""
    odd = draw(st.sets(st.sampled_from(list(DEFAULT_CONFIG)), max_size=3))
    fields = {
        name: draw(odd_values(name) if name in odd else SMALL[name]) for name in DEFAULT_CONFIG
    }
    return make_config_object(fields)


def make_config_object(fields: dict[str, Any]) -> Any:
    namespace: dict[str, Any] = {}
    for name, value in fields.items():
        if isinstance(value, RaisingProperty):
            namespace[name] = property(lambda self, error=value.error: _raise(error))
    config_type = type("DrawnConfig", (), namespace)
    config = config_type()
    for name, value in fields.items():
        if value is not MISSING and not isinstance(value, RaisingProperty):
            setattr(config, name, value)
    config.drawn = fields
    return config


def _raise(error: Callable[[], BaseException]) -> Any:
    raise error()

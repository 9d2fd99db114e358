"""Hostile values for calling native entry points.

Plain Python objects that native code must survive: values of the wrong type,
subclasses of the exact types the entry checks accept, numbers at the edges,
empty and enormous strings, objects whose special methods raise, iterators
that stop early, fail half-way or never end, callables that raise any kind of
exception, ducks that answer every attribute with another hostile value, and
meddlers that change the object under test while a native method is running
(as a callback, a ``__len__`` or a finaliser can).

The harness sets ``DEADLINE`` (a ``time.monotonic()`` value) before each call:
endless iterators raise ``Hang`` past it, so a call that consumes one
returns with an exception instead of running forever.
"""

import gc
import math
import os
import sys
import time
from typing import Any, Callable, Iterator, List

from hypothesis import strategies as st

# ---------------------------------------------------------------- exceptions


class Boom(Exception):
    """Raised by hostile special methods and callables."""


class Hang(Exception):
    """Raised from Python code when a call has run past its time budget."""


class FakeInterrupt(KeyboardInterrupt):
    """A KeyboardInterrupt raised by a callee, not by the user."""


class FakeExit(SystemExit):
    """A SystemExit raised by a callee."""


# Set by the harness around each call.
DEADLINE = math.inf
ENDLESS_EXPIRED = False


def _boom(*_: Any, **__: Any) -> Any:
    raise Boom("hostile")


# ---------------------------------------------------------------- subclasses


class StrSub(str):
    pass


class ListSub(list):
    pass


class DictSub(dict):
    pass


class TupleSub(tuple):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass


class HostileStr(str):
    """A str whose comparison, hashing, length, iteration and formatting raise."""

    __eq__ = __ne__ = __lt__ = __hash__ = __len__ = __iter__ = __str__ = __format__ = _boom
    __contains__ = __getitem__ = _boom

    def __repr__(self) -> str:
        return "HostileStr()"


class HostileList(list):
    """A list whose Python-level protocol raises (its storage is ordinary)."""

    __iter__ = __len__ = __getitem__ = __contains__ = __eq__ = _boom

    def __repr__(self) -> str:
        return f"HostileList({list.__repr__(self)})"


class HostileDict(dict):
    __iter__ = __len__ = __getitem__ = __contains__ = keys = items = values = get = _boom

    def __repr__(self) -> str:
        return f"HostileDict({dict.__repr__(self)})"


# ---------------------------------------------------------------- raising objects


class Hostile:
    """Every protocol raises: comparison, hashing, str/format, iteration, length,
    truth, numbers, calls, indexing, attributes, paths, context management."""

    __eq__ = __ne__ = __lt__ = __le__ = __gt__ = __ge__ = __hash__ = _boom
    __str__ = __format__ = __bytes__ = _boom
    __iter__ = __len__ = __bool__ = __contains__ = __getitem__ = __setitem__ = _boom
    __index__ = __int__ = __float__ = __add__ = __radd__ = __truediv__ = __rtruediv__ = _boom
    __call__ = __fspath__ = __enter__ = __exit__ = _boom

    def __getattr__(self, name: str) -> Any:
        if name.startswith("__") or name == "_repr_pretty_":
            raise AttributeError(name)
        raise Boom(f"attribute {name}")

    def __repr__(self) -> str:
        return "Hostile()"


def _single(dunder: str) -> type:
    """A class whose only hostile method is `dunder`."""
    return type(f"Bad{dunder.strip('_').capitalize()}", (), {dunder: _boom, "__repr__": lambda self: type(self).__name__ + "()"})


BadEq = type("BadEq", (), {"__eq__": _boom, "__hash__": _boom, "__repr__": lambda self: "BadEq()"})
BadStr = type("BadStr", (), {"__str__": _boom, "__format__": _boom, "__repr__": lambda self: "BadStr()"})
BadIter = _single("__iter__")
BadLen = type("BadLen", (), {"__len__": _boom, "__iter__": lambda self: iter([1, 2]), "__repr__": lambda self: "BadLen()"})
BadBool = _single("__bool__")
BadIndex = type("BadIndex", (), {"__index__": _boom, "__int__": _boom, "__float__": _boom, "__repr__": lambda self: "BadIndex()"})


class BadRepr:
    """repr() raises (reports of the harness print it through _repr_pretty_)."""

    __repr__ = _boom

    def _repr_pretty_(self, p: Any, cycle: bool) -> None:
        p.text("BadRepr()")


class HugeLen:
    """Claims sys.maxsize items and has none."""

    def __len__(self) -> int:
        return sys.maxsize

    def __getitem__(self, i: Any) -> Any:
        raise IndexError(i)

    def __repr__(self) -> str:
        return "HugeLen()"


class LyingSeq:
    """A sequence (no __iter__) whose length promises more items than indexing gives."""

    def __init__(self, items: List[Any], claimed: int) -> None:
        self.items, self.claimed = items, claimed

    def __len__(self) -> int:
        return self.claimed

    def __getitem__(self, i: Any) -> Any:
        if isinstance(i, slice):
            return self.items[i]
        return self.items[i]

    def __repr__(self) -> str:
        return f"LyingSeq({self.items!r}, claimed={self.claimed})"


# ---------------------------------------------------------------- paths


class PathLikeOf(os.PathLike):
    """__fspath__ returns `value` (or raises when it is an exception class)."""

    def __init__(self, value: Any) -> None:
        self.value = value

    def __fspath__(self) -> Any:
        if isinstance(self.value, type) and issubclass(self.value, BaseException):
            raise self.value("fspath")
        return self.value

    def __repr__(self) -> str:
        return f"PathLikeOf({self.value!r})"


# ---------------------------------------------------------------- iterators


class StopsEarly:
    """An iterator that gives the first `n` items and then stops, though it says
    it has more."""

    def __init__(self, items: List[Any], n: int) -> None:
        self.items, self.n, self.i = items, n, 0

    def __iter__(self) -> "StopsEarly":
        return self

    def __next__(self) -> Any:
        if self.i >= min(self.n, len(self.items)):
            raise StopIteration
        self.i += 1
        return self.items[self.i - 1]

    def __length_hint__(self) -> int:
        return len(self.items) + 10

    def __repr__(self) -> str:
        return f"StopsEarly({self.items!r}, {self.n})"


class FailsMidway(StopsEarly):
    """Gives `n` items, then raises."""

    def __next__(self) -> Any:
        if self.i >= self.n or self.i >= len(self.items):
            raise Boom(f"iterator failed after {self.i} items")
        return super().__next__()

    def __repr__(self) -> str:
        return f"FailsMidway({self.items!r}, {self.n})"


class Restarts(StopsEarly):
    """Breaks the iterator protocol: after StopIteration it gives items again."""

    def __next__(self) -> Any:
        try:
            return super().__next__()
        except StopIteration:
            self.i = 0
            raise

    def __repr__(self) -> str:
        return f"Restarts({self.items!r}, {self.n})"


class Endless:
    """Never ends: gives `item` again and again until the call's deadline, then
    raises Hang (from Python code, so every consumer sees an exception)."""

    def __init__(self, item: Any) -> None:
        self.item = item
        self.count = 0

    def __iter__(self) -> "Endless":
        return self

    def __next__(self) -> Any:
        global ENDLESS_EXPIRED
        self.count += 1
        if self.count & 1023 == 0 and time.monotonic() > DEADLINE:
            ENDLESS_EXPIRED = True
            raise Hang(f"endless iterator stopped after {self.count} items")
        return self.item

    def __repr__(self) -> str:
        return f"Endless({self.item!r})"


def half_consumed(items: List[Any]) -> Iterator[Any]:
    """A Python generator with its first item already taken."""

    def gen() -> Iterator[Any]:
        yield from items

    g = gen()
    next(g, None)
    return g


# ---------------------------------------------------------------- callables


class RaiseOnCall:
    """A callable (and every attribute of it) that raises `exc`."""

    def __init__(self, exc: type) -> None:
        self.exc = exc

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        raise self.exc("raised by a callee")

    def __getattr__(self, name: str) -> Any:
        if name.startswith("__") or name == "_repr_pretty_":
            raise AttributeError(name)
        return self

    def __repr__(self) -> str:
        return f"RaiseOnCall({self.exc.__name__})"


class Duck:
    """Has every attribute; each attribute, call, item and iteration gives the
    values it was made with, in turn (which may be ducks again)."""

    def __init__(self, values: List[Any]) -> None:
        self._values = list(values) or [None]
        self._i = 0

    def _next(self) -> Any:
        v = self._values[self._i % len(self._values)]
        self._i += 1
        return v

    def __getattr__(self, name: str) -> Any:
        if name.startswith("__") or name in ("_repr_pretty_", "_values", "_i"):
            raise AttributeError(name)
        return self._next()

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return self._next()

    def __getitem__(self, key: Any) -> Any:
        return self._next()

    def __iter__(self) -> Iterator[Any]:
        return iter(self._values[:3])

    def __len__(self) -> int:
        return len(self._values[:3])

    def __enter__(self) -> Any:
        return self._next()

    def __exit__(self, *exc: Any) -> Any:
        return self._next()

    def __repr__(self) -> str:
        return f"Duck(<{len(self._values)} values>)"


# ---------------------------------------------------------------- meddlers

# The objects the meddlers may change during a call (the instance under test,
# the lists and dicts given as arguments) and, per instance, how to
# initialise it again. Set by the harness.
TARGETS: List[Any] = []
REINIT: dict = {}
_meddling = False
MEDDLE_KINDS = ("clear", "reinit", "drop", "empty", "collect")
FUNCTION_KINDS = ("defaults", "clear")


def meddle(kind: str) -> None:
    """Changes every target the way `kind` says; never raises."""
    global _meddling
    if _meddling:
        return
    _meddling = True
    try:
        for t in list(TARGETS):
            try:
                if kind == "collect":
                    gc.collect()
                elif kind == "defaults":  # a function's defaults and annotations, replaced
                    t.__defaults__, t.__kwdefaults__, t.__annotations__ = None, None, {}
                elif isinstance(t, (list, dict)):
                    if kind in ("clear", "empty"):
                        t.clear()
                    elif kind == "drop" and t:
                        t.popitem() if isinstance(t, dict) else t.pop()
                    elif kind == "reinit" and isinstance(t, list):
                        t[:] = [Hostile()] * len(t)
                else:
                    d = getattr(t, "__dict__", None)
                    if not isinstance(d, dict):
                        continue
                    if kind == "clear":
                        d.clear()
                    elif kind == "drop" and d:
                        d.pop(next(iter(d)))
                    elif kind == "empty":
                        for key, value in list(d.items()):
                            if isinstance(value, (list, dict)):
                                d[key] = type(value)()
                    elif kind == "reinit" and id(t) in REINIT:
                        REINIT[id(t)]()
            except BaseException:
                pass
    finally:
        _meddling = False


class MeddlingList(list):
    """A list that changes the targets the first time its length, iteration or
    items are asked for, then behaves as a list."""

    def __init__(self, items: List[Any], kind: str) -> None:
        super().__init__(items)
        self.kind, self.done = kind, False

    def _once(self) -> None:
        if not self.done:
            self.done = True
            meddle(self.kind)

    def __len__(self) -> int:
        self._once()
        return list.__len__(self)

    def __iter__(self) -> Iterator[Any]:
        self._once()
        return list.__iter__(self)

    def __getitem__(self, i: Any) -> Any:
        self._once()
        return list.__getitem__(self, i)

    def __repr__(self) -> str:
        return f"MeddlingList({list.__repr__(self)}, {self.kind!r})"


class MeddlingStr(str):
    """A str that changes the targets when it is hashed or compared."""

    kind = "clear"

    def __hash__(self) -> int:
        meddle(self.kind)
        return str.__hash__(self)

    def __eq__(self, other: Any) -> bool:
        meddle(self.kind)
        return str.__eq__(self, other)

    def __repr__(self) -> str:
        return f"MeddlingStr({str.__repr__(self)})"


class Meddler:
    """A callable (and an object whose every method is one) that changes the
    targets, then returns `value`."""

    def __init__(self, kind: str, value: Any) -> None:
        self.kind, self.value = kind, value

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        meddle(self.kind)
        return self.value

    def __getattr__(self, name: str) -> Any:
        if name.startswith("__") or name in ("_repr_pretty_", "kind", "value"):
            raise AttributeError(name)
        return self

    def __repr__(self) -> str:
        return f"Meddler({self.kind!r}, {self.value!r})"


# A finaliser bomb: garbage that, when collected, leaves new garbage behind,
# `countdown` times, and then meddles. With the collector's threshold at 1 it
# goes off at some allocation inside the native call.
ARMED = False


class _Bomb:
    def __init__(self, countdown: int, kind: str) -> None:
        self.cycle = self
        self.countdown, self.kind = countdown, kind

    def __del__(self) -> None:
        if not ARMED:
            return
        if self.countdown > 0:
            _Bomb(self.countdown - 1, self.kind)
        else:
            meddle(self.kind)


def arm_bomb(countdown: int, kind: str) -> None:
    global ARMED
    ARMED = True
    _Bomb(countdown, kind)


def disarm() -> None:
    global ARMED
    ARMED = False


# ---------------------------------------------------------------- the pool

# Ints past any allocation (a size made of them fails at once) and negative ones.
HUGE_INTS = [2**62, 2**63 - 1, 2**63, 2**64, 2**64 + 1, 10**30, 2**1000,
             -1, -2, -(2**31), -(2**63), -(2**63) - 1, -(2**64), -(10**30)]
# Valid sizes too big to fill: used only while the harness has capped the
# address space (a call that tries to fill gigabytes then fails at once
# instead of taking the machine's memory).
BIG_SIZES = [2**31 - 1, 2**31, 2**32, 2**53 + 1]
BIG_SIZES_ENABLED = False
FLOATS = [math.nan, -math.nan, math.inf, -math.inf, -0.0, 0.0, 1e308, -1e308, 5e-324, 1e-300, 0.5, -1.5]
STRINGS = [
    "", " ", "\n", "\r\n", "\x00", "a\x00b", "\ud800", "x\udcffy", "é", "😀" * 3, "ä" * 1000,
    "x" * (1 << 20), "\u2028\u2029", "%s%n%x%p", "{0}{}{name}", "\\", ".", "a/b", "./c.py", "-", "--help",
    "YES", "NO", "10", "-3", " 7 ", "1_000", "nan", "True", "None", "backend/x.py", ".git", "x.git",
]
EXCEPTIONS = [Boom, StopIteration, GeneratorExit, FakeInterrupt, FakeExit, MemoryError, RecursionError,
              TypeError, AttributeError, KeyError, IndexError, ValueError, OSError, UnicodeDecodeError]


def _self_list() -> list:
    x: list = []
    x.append(x)
    return x


def _self_dict() -> dict:
    d: dict = {}
    d["self"] = d
    return d


def _deep(n: int = 2000) -> list:
    x: list = []
    for _ in range(n):
        x = [x]
    return x


# Factories of fresh hostile objects (stateful ones must not be shared).
FACTORIES: List[Callable[[], Any]] = [
    Hostile, BadEq, BadStr, BadIter, BadLen, BadBool, BadIndex, BadRepr, HugeLen,
    lambda: HostileStr("hostile"), lambda: HostileList(["a", "b"]), lambda: HostileDict(a=1),
    lambda: StrSub("sub"), lambda: ListSub(["a", "b"]), lambda: DictSub(a=[]), lambda: TupleSub(("a", "b", 1.0)),
    lambda: IntSub(3), lambda: FloatSub(2.5), lambda: True, lambda: False,
    lambda: LyingSeq(["a", "b"], 5), lambda: LyingSeq([], 3),
    lambda: StopsEarly(["a", "b", "c"], 1), lambda: FailsMidway(["a", "b", "c"], 2), lambda: Restarts(["a"], 1),
    lambda: Endless("a"), lambda: Endless(("q", "d", 1.0)), lambda: half_consumed(["a", "b", "c"]),
    lambda: iter([]), lambda: (x for x in ()),
    lambda: PathLikeOf(Boom), lambda: PathLikeOf(3), lambda: PathLikeOf(b"missing\xff"), lambda: PathLikeOf("a\x00b"),
    lambda: PathLikeOf("missing-file"),
    _self_list, _self_dict, _deep, lambda: [None] * 3, lambda: {None: None}, lambda: {1: 2},
    lambda: object(), lambda: type, lambda: int, lambda: str, lambda: object, lambda: type("Fresh", (), {}),
    lambda: BaseException, lambda: print, lambda: len, lambda: (lambda *a, **k: None), lambda: Ellipsis,
    lambda: NotImplemented, lambda: frozenset({1}), lambda: {1, 2}, lambda: range(10**18), lambda: slice(None),
    lambda: 1j, lambda: gc.collect,
    lambda: b"", lambda: b"\x00", lambda: b"\xff\xfe", lambda: bytearray(b"abc"), lambda: memoryview(b"xyz"),
]


def scalars() -> st.SearchStrategy[Any]:
    """Edge numbers, strings and bytes."""
    return st.one_of(
        st.sampled_from(HUGE_INTS + FLOATS + STRINGS + [None, 0, 1, 5] + (BIG_SIZES if BIG_SIZES_ENABLED else [])),
        st.integers(min_value=-1000, max_value=1000),
        st.floats(allow_nan=True, allow_infinity=True),
        st.text(alphabet=st.characters(blacklist_characters="/\\", blacklist_categories=()), max_size=40),
    )


def hostile_objects() -> st.SearchStrategy[Any]:
    return st.one_of(
        st.sampled_from(FACTORIES).map(lambda make: make()),
        st.sampled_from(EXCEPTIONS).map(RaiseOnCall),
        st.sampled_from(MEDDLE_KINDS).map(lambda k: MeddlingList(["a", "b"], k)),
        st.sampled_from(MEDDLE_KINDS).map(lambda k: Meddler(k, None)),
        st.just(None).map(lambda _: MeddlingStr("a")),
    )


def values(depth: int = 2) -> st.SearchStrategy[Any]:
    """Any hostile value: scalars, hostile objects, and containers or ducks of them."""
    base = st.one_of(scalars(), hostile_objects())
    if depth <= 0:
        return base
    inner = values(depth - 1)
    return st.one_of(
        base,
        st.lists(inner, max_size=4),
        st.lists(inner, max_size=3).map(tuple),
        st.dictionaries(st.one_of(st.text(max_size=8), st.integers(-3, 3)), inner, max_size=3),
        st.lists(inner, min_size=1, max_size=4).map(Duck),
        st.tuples(st.sampled_from(MEDDLE_KINDS), inner).map(lambda t: Meddler(*t)),
    )


def safe_repr(value: Any) -> str:
    try:
        return repr(value)[:200]
    except BaseException:
        return f"<{type(value).__name__} with a failing repr>"


def is_expected(exc: BaseException) -> bool:
    """Exceptions a hostile call may end with: any Exception, and the fake
    interrupts, exits and generator exits that hostile callees raise."""
    return isinstance(exc, (Exception, FakeInterrupt, FakeExit, GeneratorExit))

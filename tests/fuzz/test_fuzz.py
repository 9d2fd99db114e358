"""Every native entry point, called with hostile arguments.

Each function and method that the extension modules define (found by looking,
see fuzz_targets.discover) is called with wrong types, exact-type look-alikes,
edge numbers and strings, raising objects, broken iterators, ducks and
meddlers; with real instances, uninitialised ones and wrong objects as self;
with some of its module globals replaced by hostile values (modules read them
at call time); sometimes with a finaliser bomb that changes the arguments and
the instance at an allocation inside the call. Generators it returns are
consumed a little and then closed, dropped or collected in a cycle; functions
it returns are called too.

Expected: a result or a Python exception, never a crash, a hang, a C-API
misuse error, or an attempt to reach the network. Runs offline, in a fresh
temporary directory per call.

Short by default. A long run (documented in the README):
    TAVRIN_FUZZ_EXAMPLES=20000 .venv/bin/python -m pytest tests/fuzz/test_fuzz.py
TAVRIN_FUZZ_RANDOM=1 draws new examples on every run (the default is a fixed
sequence); TAVRIN_FUZZ_LOG=path appends every call to a file before it is made
(to find the call that took a process down); TAVRIN_FUZZ_STATS=path writes the
number of calls and their outcomes per entry point.
"""

import collections
import contextlib
import ctypes
import faulthandler
import functools
import gc
import inspect
import json
import os
import pickle
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional, Tuple

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

sys.path.insert(0, str(Path(__file__).resolve().parent))  # the harness's modules beside this file

import adversarial as adv  # noqa: E402
import fuzz_targets as ft  # noqa: E402

EXAMPLES = int(os.environ.get("TAVRIN_FUZZ_EXAMPLES", "8"))
CALL_SECONDS = float(os.environ.get("TAVRIN_FUZZ_CALL_SECONDS", "30"))
ENDLESS_SECONDS = 0.05
SETTINGS = settings(
    max_examples=EXAMPLES,
    derandomize=os.environ.get("TAVRIN_FUZZ_RANDOM", "") in ("", "0"),
    deadline=None,
    database=None,
    suppress_health_check=list(HealthCheck),
    print_blob=False,
)

# hostile values make libraries warn (NotImplemented as a truth value, ...)
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

MODULES = ft.module_names()
ENTRY_POINTS: List[ft.EntryPoint] = []
for _dotted in MODULES:
    _loaded = ft.load(_dotted)
    if _loaded.module is not None:
        ENTRY_POINTS.extend(ft.discover(_loaded.module))


SKIP = [s for s in os.environ.get("TAVRIN_FUZZ_SKIP", "").split(",") if s]


def _params(entry_points: List[ft.EntryPoint]) -> List[Any]:
    """Entry points of the built modules, and one skipped placeholder (with the
    reason) for every module that is not built. TAVRIN_FUZZ_SKIP (ids or id
    prefixes, comma-separated, e.g. "dravik:,file:FileLoader.load") leaves some out."""
    params = [pytest.param(ep, id=ep.id, marks=[pytest.mark.skip(reason="TAVRIN_FUZZ_SKIP")]
                           if any(ep.id.startswith(s) for s in SKIP) else []) for ep in entry_points]
    for dotted in MODULES:
        loaded = ft.load(dotted)
        if loaded.module is None and loaded.error is None:
            params.append(pytest.param(None, id=f"{dotted}:not-built",
                                       marks=pytest.mark.skip(reason=loaded.skip_reason)))
    return params


# ---------------------------------------------------------------- statistics

STATS: Dict[str, collections.Counter] = collections.defaultdict(collections.Counter)


def _outcome_name(exc: Optional[BaseException]) -> str:
    if exc is None:
        return "returned"
    name = type(exc).__name__
    if isinstance(exc, RuntimeError) and type(exc) is RuntimeError:
        return f"RuntimeError: {str(exc)[:60]}"  # C++ exceptions arrive as RuntimeError
    return name


@pytest.fixture(scope="module", autouse=True)
def _write_stats() -> Iterator[None]:
    yield
    path = os.environ.get("TAVRIN_FUZZ_STATS")
    if path:
        data = {ep: {"calls": sum(c.values()), "outcomes": dict(c.most_common())} for ep, c in sorted(STATS.items())}
        Path(path).write_text(json.dumps(data, indent=1, ensure_ascii=False))


# ---------------------------------------------------------------- the offline world


@pytest.fixture(scope="module")
def world(tmp_path_factory: pytest.TempPathFactory) -> Iterator[ft.World]:
    w = ft.make_world(tmp_path_factory.mktemp("fuzz-world"))
    (w.root / "runs").mkdir()
    old = os.getcwd()
    os.chdir(w.root / "runs")  # nothing lands in the checkout, whatever runs outside an example
    try:
        yield w
    finally:
        os.chdir(old)


UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.fixture(scope="module", autouse=True)
def _bounded_memory() -> Iterator[None]:
    """Caps the address space at what the process uses plus 2 GiB, so that a call
    asked for an absurd size fails with MemoryError instead of filling the
    machine's memory; only then do absurd sizes join the hostile values. (Not
    under AddressSanitizer, whose shadow memory needs the address space.)"""
    if UNDER_ASAN:
        yield
        return
    import resource

    with open("/proc/self/status") as f:
        size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    old = resource.getrlimit(resource.RLIMIT_AS)
    cap = size + (2 << 30)
    if old[1] != resource.RLIM_INFINITY:
        cap = min(cap, old[1])
    resource.setrlimit(resource.RLIMIT_AS, (cap, old[1]))
    adv.BIG_SIZES_ENABLED = True
    try:
        yield
    finally:
        adv.BIG_SIZES_ENABLED = False
        resource.setrlimit(resource.RLIMIT_AS, old)


@pytest.fixture(scope="module")
def offline(world: ft.World) -> Iterator[ft.Offline]:
    mp = pytest.MonkeyPatch()
    try:
        yield ft.go_offline(mp, world.root)
    finally:
        mp.undo()
        from tavrin import kelmor

        kelmor.dispose_engines()


@pytest.fixture(scope="module")
def hint_table(world: ft.World) -> Dict[str, Dict[str, st.SearchStrategy[Any]]]:
    return ft.hints(world)


@contextlib.contextmanager
def example_dir(world: ft.World) -> Iterator[Path]:
    """A fresh, empty current directory for one example."""
    d = tempfile.mkdtemp(dir=world.root / "runs")
    old = os.getcwd()
    os.chdir(d)
    try:
        yield Path(d)
    finally:
        os.chdir(old)
        shutil.rmtree(d, ignore_errors=True)


# ---------------------------------------------------------------- one guarded call


class Guard:
    """Bounds one call: endless iterators stop after ENDLESS_SECONDS; a SIGALRM
    after CALL_SECONDS raises Hang from whatever Python code runs then; a call
    stuck in native code for six times that is stopped by faulthandler, which
    dumps every thread's traceback and ends the process. Also notes network
    attempts made during the call."""

    def __init__(self, offline: ft.Offline, gc_bomb: Optional[Tuple[int, str]] = None) -> None:
        self.offline, self.gc_bomb = offline, gc_bomb
        self.fired = False
        self.armed = False

    def _alarm(self, signum: int, frame: Any) -> None:
        if self.armed:
            self.fired = True
            raise adv.Hang(f"watchdog: the call ran for more than {CALL_SECONDS} s")

    def __enter__(self) -> "Guard":
        self.attempts = len(self.offline.attempts)
        adv.DEADLINE = time.monotonic() + ENDLESS_SECONDS
        adv.ENDLESS_EXPIRED = False
        self.previous = signal.signal(signal.SIGALRM, self._alarm)
        self.armed = True
        signal.setitimer(signal.ITIMER_REAL, CALL_SECONDS)
        faulthandler.dump_traceback_later(CALL_SECONDS * 6, exit=True, file=sys.__stderr__)
        self.threshold = gc.get_threshold()
        if self.gc_bomb is not None:
            adv.arm_bomb(*self.gc_bomb)
            gc.set_threshold(1, 10**6, 10**6)  # a young collection at nearly every allocation
        return self

    def __exit__(self, *exc: Any) -> None:
        self.armed = False
        gc.set_threshold(*self.threshold)
        adv.disarm()
        signal.setitimer(signal.ITIMER_REAL, 0)
        faulthandler.cancel_dump_traceback_later()
        signal.signal(signal.SIGALRM, self.previous)
        adv.DEADLINE = float("inf")

    def network_attempts(self) -> List[str]:
        return self.offline.attempts[self.attempts:]


# Messages CPython gives when native code breaks the C-API rules.
CAPI_MISUSE = ("without setting an exception", "with an exception set", "error return without exception set",
               "bad argument to internal function", "NULL object passed")


def problems_of(ep: ft.EntryPoint, exc: Optional[BaseException], guard: Guard) -> List[str]:
    """What is wrong with a call's outcome (nothing, for a result or an ordinary exception)."""
    found = []
    if guard.network_attempts():
        found.append(f"tried to reach the network: {guard.network_attempts()}")
    if exc is None:
        return found
    if not adv.is_expected(exc):
        raise exc  # a real interrupt or exit: stop the run
    if isinstance(exc, adv.Hang) and guard.fired and not adv.ENDLESS_EXPIRED:
        found.append(f"hang: {exc}")
    if isinstance(exc, SystemError):
        text = str(exc)
        if any(m in text for m in CAPI_MISUSE):
            found.append(f"C-API misuse: {text}")
        if "unknown C++ exception" in text and ep.qualname != "fail":
            found.append(f"a C++ exception of no known type escaped: {text}")
    return found


# ---------------------------------------------------------------- drawing a call


def valid_strategy(ep: ft.EntryPoint, param: inspect.Parameter, table: Dict[str, Any]) -> Optional[st.SearchStrategy[Any]]:
    """Valid values for a parameter: the entry point's hints, else its annotation's type."""
    hint = table.get(ep.key, {}).get(param.name)
    annotation = None if param.annotation is inspect.Parameter.empty else param.annotation
    typed = ft.by_annotation(annotation)
    if hint is not None and typed is not None:
        return st.one_of(hint, hint, typed)
    return hint if hint is not None else typed


def arg_strategy(ep: ft.EntryPoint, param: inspect.Parameter, table: Dict[str, Any],
                 hostile: bool = False) -> st.SearchStrategy[Any]:
    valid = valid_strategy(ep, param, table)
    if hostile or valid is None:
        return adv.values()
    return valid


PLANS = ["valid", "valid", "one hostile", "one hostile", "wild", "raw"]


def draw_call(data: Any, ep: ft.EntryPoint, table: Dict[str, Any]) -> Tuple[List[Any], Dict[Any, Any], bool]:
    """Positional and keyword arguments, and whether to call through
    PyObject_Call with a keyword dictionary the interpreter would not build.
    Plans: every argument valid (where the harness knows valid values), one
    hostile, each one hostile or not (and required ones sometimes missing), or
    a raw jumble of arguments and keywords."""
    params = ep.parameters()
    names = [p.name for p in params]
    plan = data.draw(st.sampled_from(PLANS), label="plan")
    if plan == "raw":
        args = data.draw(st.lists(adv.values(1), max_size=len(params) + 2), label="raw args")
        keys = st.sampled_from(names + ["", "x", "self", "kwargs", "k", "é"]) if names else st.sampled_from(["x", ""])
        kwargs: Dict[Any, Any] = data.draw(st.dictionaries(keys, adv.values(1), max_size=2), label="raw kwargs")
        odd = data.draw(st.integers(0, 4), label="odd keywords") == 4
        if odd:
            kwargs[data.draw(st.sampled_from([1, None, b"x", adv.StrSub("x"), ("t",)]))] = 1
        return args, kwargs, odd
    fixed = [p for p in params if p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD)]
    hostile_one = data.draw(st.sampled_from(fixed), label="hostile parameter") if plan == "one hostile" and fixed else None
    args, kwargs = [], {}
    keyword_only_now = False
    for p in params:
        if p.kind is p.VAR_POSITIONAL:
            if not keyword_only_now:
                args += data.draw(st.lists(adv.values(1), max_size=3), label=f"*{p.name}")
            continue
        if p.kind is p.VAR_KEYWORD:
            kwargs.update(data.draw(st.dictionaries(st.text(min_size=1, max_size=4).filter(lambda k: k not in names),
                                                    adv.values(1), max_size=2), label=f"**{p.name}"))
            continue
        positional = not (p.kind is p.KEYWORD_ONLY or keyword_only_now)
        ways = ["pos", "pos", "kw"] if positional else ["kw"]
        if p.default is not p.empty:
            ways += ["omit", "omit"]
        elif plan == "wild":
            ways.append("omit")  # a required argument missing, now and then
        way = data.draw(st.sampled_from(ways), label=f"{p.name} passed")
        if way == "omit":
            keyword_only_now = True
            continue
        hostile = p is hostile_one or (plan == "wild" and data.draw(st.booleans(), label=f"{p.name} hostile"))
        value = data.draw(arg_strategy(ep, p, table, hostile), label=p.name)
        if way == "pos":
            args.append(value)
        else:
            kwargs[p.name] = value
            keyword_only_now = True
    return args, kwargs, False


def draw_self(data: Any, ep: ft.EntryPoint, world: ft.World) -> Tuple[Any, Optional[Any], bool]:
    """(self or cls, its re-initialiser, whether it is a real instance)."""
    owner = ep.owner
    assert owner is not None
    if ep.kind == "classmethod":
        way = data.draw(st.sampled_from(["owner", "owner", "subclass", "hostile"]), label="cls")
        if way == "owner":
            return owner, None, False
        if way == "subclass":
            return type("Sub" + owner.__name__, (owner,), {}), None, False
        return data.draw(adv.values(1), label="hostile cls"), None, False
    way = data.draw(st.sampled_from(["real", "real", "real", "uninitialised", "hostile"]), label="self")
    if way == "real":
        draw = functools.partial(data.draw, label="instance")
        try:
            instance, reinit = ft.instance_for(owner, world, draw)
            return instance, reinit, True
        except Exception:
            way = "uninitialised"
    if way == "uninitialised":
        try:
            return owner.__new__(owner), None, True
        except Exception:
            pass
    return data.draw(adv.values(1), label="hostile self"), None, False


def draw_globals(data: Any, module: Any) -> Dict[str, Any]:
    if data.draw(st.integers(0, 3), label="hostile globals?") != 0:
        return {}
    names = sorted(k for k in vars(module) if not k.startswith("__")) + ["helper", "open", "print", "range", "round"]
    chosen = data.draw(st.lists(st.sampled_from(names), min_size=1, max_size=2, unique=True), label="globals")
    return {n: data.draw(adv.values(1), label=f"global {n}") for n in chosen}


@contextlib.contextmanager
def patched_globals(module: Any, replacements: Dict[str, Any]) -> Iterator[None]:
    namespace = vars(module)
    missing = object()
    saved = {k: namespace.get(k, missing) for k in replacements}
    namespace.update(replacements)
    try:
        yield
    finally:
        for k, v in saved.items():
            if v is missing:
                namespace.pop(k, None)
            else:
                namespace[k] = v


_PyObject_Call = ctypes.pythonapi.PyObject_Call
_PyObject_Call.restype = ctypes.py_object
_PyObject_Call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]


def invoke(ep: ft.EntryPoint, self_obj: Any, real: bool, bound: bool, args: List[Any], kwargs: Dict[Any, Any],
           odd: bool) -> Any:
    """Calls the entry point: directly (self as the first argument), or through
    attribute lookup on a real instance or the class (the descriptor path)."""
    if ep.kind in ("function", "staticmethod", "command"):
        target, full = ep.func, list(args)
    elif ep.kind in ("property", "cached_property"):
        if bound and real:
            return getattr(self_obj, ep.attr)
        target, full = ep.func, [self_obj] + list(args)
    elif bound and ((ep.kind == "classmethod" and isinstance(self_obj, type)) or (
            real and inspect.getattr_static(type(self_obj), ep.attr, None) is vars(ep.owner).get(ep.attr))):
        try:
            target = getattr(self_obj, ep.attr)
        except AttributeError:
            target = functools.partial(ep.func, self_obj)
        full = list(args)
    else:
        target, full = ep.func, [self_obj] + list(args)
    if odd:
        return _PyObject_Call(target, tuple(full), kwargs)
    return target(*full, **kwargs)


# ---------------------------------------------------------------- results


def touch(value: Any) -> None:
    """Reads every byte of arrays the native code handed out (a stale view shows
    up here under the sanitizer)."""
    if isinstance(value, np.ndarray) and value.dtype != object and value.size < 10**6:
        value.tobytes()


def consume(holder: List[Any], data: Any, owner_instance: Any) -> None:
    """Takes a few items of the generator in `holder` (the only reference to it),
    then closes it, drops it, leaves it in a reference cycle for the collector,
    or exhausts it (bounded)."""
    take = data.draw(st.integers(0, 3), label="items taken")
    plan = data.draw(st.sampled_from(["close", "drop", "cycle", "exhaust"]), label="then")
    for _ in range(take if plan != "exhaust" else 50):
        try:
            touch(next(holder[0]))
        except StopIteration:
            break
        except BaseException as exc:
            if not adv.is_expected(exc):
                raise
            break
    if plan == "close":
        holder[0].close()
        with contextlib.suppress(StopIteration):
            next(holder[0])
            raise AssertionError("a closed generator gave another item")
    elif plan == "cycle" and owner_instance is not None and isinstance(getattr(owner_instance, "__dict__", None), dict):
        owner_instance.__dict__["_fuzz_generator"] = holder[0]  # instance -> generator -> instance
    holder.clear()
    gc.collect()


def exercise(holder: List[Any], data: Any, owner_instance: Any, ep: ft.EntryPoint) -> Optional[BaseException]:
    """Uses what a call returned (the only reference is in `holder`): generators
    are consumed, functions called, arrays read."""
    try:
        if ft.is_native_generator(holder[0]):
            consume(holder, data, owner_instance)
            return None
        result = holder.pop()
        if ft.is_native_function(result) or (
                isinstance(result, functools.partial) and ft.is_native_function(result.func)):
            args = data.draw(st.lists(st.one_of(ft.texts(), adv.values(1)), max_size=3), label="args of result")
            STATS[ep.id + " -> returned function"]["calls"] += 1
            result(*args)
        elif isinstance(result, (list, tuple)):
            for item in result[:10]:
                touch(item)
        else:
            touch(result)
    except BaseException as exc:
        return exc
    return None


# ---------------------------------------------------------------- the tests


def _log(ep: ft.EntryPoint, self_obj: Any, args: List[Any], kwargs: Dict[Any, Any], glob: Dict[str, Any],
         bomb: Any) -> None:
    path = os.environ.get("TAVRIN_FUZZ_LOG")
    if path:
        with open(path, "a", encoding="utf-8") as f:
            state = adv.safe_repr(getattr(self_obj, "__dict__", None)) if self_obj is not None else ""
            f.write(f"{ep.key} self={adv.safe_repr(self_obj)} {state} args={[adv.safe_repr(a) for a in args]} "
                    f"kwargs={ {adv.safe_repr(k): adv.safe_repr(v) for k, v in kwargs.items()} } "
                    f"globals={sorted(glob)} bomb={bomb}\n")
            f.flush()


def one_example(ep: ft.EntryPoint, data: Any, world: ft.World, table: Dict[str, Any], offline: ft.Offline) -> None:
    module = sys.modules[ep.module]
    ft.Script.set(data.draw(st.lists(st.one_of(
        st.sampled_from([("Yes", []), ("No", [{"label": "l", "url": "u"}]), ft.EvalResult(True, "r"),
                         ft.EvalResult(3, None), adv.Boom, adv.FakeInterrupt, adv.FakeExit]),
        adv.values(1)), max_size=3), label="script"))
    self_obj, reinit, real = (None, None, False)
    if ep.takes_self:
        self_obj, reinit, real = draw_self(data, ep, world)
    args, kwargs, odd = draw_call(data, ep, table)
    bound = data.draw(st.booleans(), label="through the descriptor")
    glob = draw_globals(data, module)
    bomb = None
    if data.draw(st.integers(0, 7), label="bomb?") == 0:
        bomb = (data.draw(st.integers(0, 40), label="countdown"), data.draw(st.sampled_from(adv.MEDDLE_KINDS)))

    adv.TARGETS[:] = [self_obj] if real else []
    adv.TARGETS.extend(a for a in list(args) + list(kwargs.values()) if type(a) in (list, dict))
    adv.REINIT.clear()
    if reinit is not None:
        adv.REINIT[id(self_obj)] = reinit
    _log(ep, self_obj, args, kwargs, glob, bomb)

    problems: List[str] = []
    exc: Optional[BaseException] = None
    result = None
    try:
        with patched_globals(module, glob):
            with Guard(offline, bomb) as guard:
                try:
                    result = invoke(ep, self_obj, real, bound, args, kwargs, odd)
                except BaseException as e:
                    exc = e
            problems += problems_of(ep, exc, guard)
            STATS[ep.id][_outcome_name(exc)] += 1
            if exc is None:
                holder, result = [result], None
                with Guard(offline) as guard:
                    later = exercise(holder, data, self_obj if real else None, ep)
                problems += problems_of(ep, later, guard)
        if real:
            for value in list(getattr(self_obj, "__dict__", {}).values()):
                touch(value)
    finally:
        adv.TARGETS.clear()
        adv.REINIT.clear()
    assert not problems, f"{ep.key}: " + "; ".join(problems)


@pytest.mark.parametrize("dotted", MODULES)
def test_module_is_built_and_imports(dotted: str) -> None:
    loaded = ft.load(dotted)
    if loaded.error is not None:
        raise loaded.error
    if loaded.module is None:
        pytest.skip(loaded.skip_reason)
    # every module but the judge-model configuration has entry points
    if dotted != "evaluation.qa.evaluator.llm_helper.conf":
        assert ft.discover(loaded.module), f"no native entry points found in tavrin.{dotted}"


def test_discovery_finds_functions_methods_classmethods_properties_and_commands() -> None:
    selftest = ft.load("_pyface_selftest").module
    if selftest is None:
        pytest.skip("tavrin._pyface_selftest is not built")
    kinds = {ep.qualname: ep.kind for ep in ft.discover(selftest)}
    assert kinds["typed"] == "function" and kinds["Square.__init__"] == "method"
    assert kinds["Square.unit"] == "classmethod" and kinds["Square.label"] == "property"
    assert kinds["Shape.area"] == "method" and "Point" not in " ".join(kinds)
    commands = [ep for ep in ENTRY_POINTS if ep.kind == "command"]
    assert all(ep.command.callback is ep.func for ep in commands)


@pytest.mark.parametrize("ep", _params(ENTRY_POINTS))
def test_entry_point_survives_hostile_calls(ep: ft.EntryPoint, world: ft.World, offline: ft.Offline,
                                            hint_table: Dict[str, Any]) -> None:
    @SETTINGS
    @given(data=st.data())
    def run(data: Any) -> None:
        with example_dir(world):
            one_example(ep, data, world, hint_table, offline)

    run()


FUNCTION_ATTRIBUTES = ["__defaults__", "__kwdefaults__", "__annotations__", "__name__", "__qualname__", "__doc__",
                       "__module__", "__dict__", "__signature__"]


@pytest.mark.parametrize("ep", _params(ENTRY_POINTS))
def test_function_object_takes_hostile_attributes(ep: ft.EntryPoint, world: ft.World, offline: ft.Offline,
                                                  hint_table: Dict[str, Any]) -> None:
    """Replaced defaults (which skip the entry checks, as in Python), annotations,
    names and dictionaries: introspection, pickling, binding and calls still end
    in a result or an exception."""
    func = ep.func
    saved = {a: getattr(func, a) for a in FUNCTION_ATTRIBUTES if a not in ("__dict__", "__signature__")}
    saved_dict = dict(func.__dict__)
    required = [p for p in ep.parameters() if p.default is p.empty and p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]

    @SETTINGS
    @given(data=st.data())
    def run(data: Any) -> None:
        name = data.draw(st.sampled_from(FUNCTION_ATTRIBUTES), label="attribute")
        n_defaults = len(saved["__defaults__"] or ())
        value = data.draw(st.one_of(
            adv.values(1),
            st.lists(adv.values(0), min_size=n_defaults, max_size=n_defaults + 2).map(tuple),
            st.dictionaries(st.sampled_from([p.name for p in ep.parameters()] or ["x"]), adv.values(0), max_size=3),
        ), label="value")
        delete = data.draw(st.integers(0, 5), label="delete?") == 0
        bomb = None
        if data.draw(st.integers(0, 3), label="bomb?") == 0:
            bomb = (data.draw(st.integers(0, 30), label="countdown"), data.draw(st.sampled_from(adv.FUNCTION_KINDS)))
        with example_dir(world):  # instances and arguments may write files
            self_obj, _, real = draw_self(data, ep, world) if ep.takes_self else (None, None, False)
            args = [data.draw(arg_strategy(ep, p, hint_table), label=p.name) for p in required]  # valid where known
            try:
                adv.TARGETS[:] = [func]
                with Guard(offline, bomb) as guard:
                    problems: List[str] = []
                    for step in ("set", "introspect", "call"):
                        try:
                            if step == "set":
                                if delete:
                                    delattr(func, name)
                                else:
                                    setattr(func, name, value)
                            elif step == "introspect":
                                repr(func)
                                with contextlib.suppress(Exception):
                                    inspect.signature(func)
                                with contextlib.suppress(Exception):
                                    pickle.loads(pickle.dumps(func))
                                func.__get__(self_obj, type(self_obj))
                                func.__get__(None, object)
                            else:
                                full = ([self_obj] if ep.takes_self else []) + args
                                STATS[ep.id + " (attributes)"]["calls"] += 1
                                func(*full)
                        except BaseException as exc:
                            problems += problems_of(ep, exc, guard)
                assert not problems, f"{ep.key} ({step} {name}): " + "; ".join(problems)
            finally:
                adv.TARGETS.clear()
                for a, v in saved.items():
                    setattr(func, a, v)
                func.__dict__ = dict(saved_dict)

    run()


COMMAND_WORDS = ["-o", "--output", "-v", "--verbose", "--help", "--", "-x", "--output=", "out.json", "", "-"]


@pytest.mark.parametrize("ep", _params([e for e in ENTRY_POINTS if e.kind == "command"]))
def test_command_line_takes_hostile_argv(ep: ft.EntryPoint, world: ft.World, offline: ft.Offline) -> None:
    """The commands as the shell runs them: any words end in a result or an error."""

    @SETTINGS
    @given(data=st.data())
    def run(data: Any) -> None:
        with example_dir(world):
            report = data.draw(st.sampled_from(world.reports).map(ft.copy_here), label="report")
            words = data.draw(st.lists(st.one_of(st.sampled_from(COMMAND_WORDS + [report]), ft.texts()), max_size=5),
                              label="argv")
            STATS[ep.id + " (command line)"]["calls"] += 1
            with Guard(offline) as guard:
                try:
                    ep.command.main(args=words, prog_name=ep.attr, standalone_mode=False)
                except BaseException as exc:
                    problems = problems_of(ep, exc, guard)
                else:
                    problems = problems_of(ep, None, guard)
            assert not problems, f"{ep.key} {words!r}: " + "; ".join(problems)

    run()


# ---------------------------------------------------------------- faults found by the harness
# Each runs in a child process, so that a crash fails this one test instead of
# ending the run; under scripts/sanitize.sh the child is sanitized too. A
# Python exception is an acceptable outcome; a crash or a sanitizer report is not.

_CHURN = "junk = [bytearray(n % 200 + 1) for n in range(20000)]"  # reuse freed memory at once

REGRESSIONS: Dict[str, Tuple[str, str]] = {
    # The kit built a function's signature from its defaults and annotations
    # without holding them; making each Parameter allocates, and a finaliser
    # run then could replace them (the kit now holds them for the build).
    "signature: a finaliser replaces the defaults while it is built": ("_pyface_selftest", """
        import gc, inspect
        from tavrin._pyface_selftest import signature_demo as f
        class Bomb:
            def __init__(self, n): self.me, self.n = self, n
            def __del__(self):
                if self.n: Bomb(self.n - 1)
                else: f.__defaults__, f.__kwdefaults__, f.__annotations__ = None, None, {}
        for n in range(40):
            f.__defaults__, f.__annotations__ = (None, False), {"json_path": "str", "return": "x"}
            Bomb(n); gc.set_threshold(1, 10**6, 10**6)
            try:
                inspect.signature(f)
            finally:
                gc.set_threshold(700, 10, 10)
        """),
    # The retriever's native index lives in a capsule in the instance dict; a
    # method must not keep using it after Python code (here the embedding model)
    # has dropped or replaced it.
    "index: the model drops the retriever's state": ("evaluation.retrieval.dravik", f"""
        from tavrin.evaluation.retrieval.dravik import EmbeddingRetriever
        class Model:
            def embed_documents(self, texts):
                r.__dict__.clear(); {_CHURN}
                return [[1.0, 0.0] for _ in texts]
        r = EmbeddingRetriever(Model())
        r.index(["a", "b"]); r.index(["c"])
        """),
    "index: the model reloads the retriever": ("evaluation.retrieval.dravik", f"""
        import tempfile, os
        from tavrin.evaluation.retrieval.dravik import EmbeddingRetriever
        class Plain:
            def embed_documents(self, texts): return [[1.0, 0.0, 0.0] for _ in texts]
        prefix = os.path.join(tempfile.mkdtemp(), "idx")
        saved = EmbeddingRetriever(Plain()); saved.index(["x", "y", "z"]); saved.save(prefix)
        class Model:
            def embed_documents(self, texts):
                r.load(prefix); {_CHURN}
                return [[1.0, 0.0] for _ in texts]
        r = EmbeddingRetriever(Model())
        r.index(["a", "b"]); r.index(["c"])
        """),
    "search: the query vector's numbers drop the state": ("evaluation.retrieval.dravik", f"""
        from tavrin.evaluation.retrieval.dravik import EmbeddingRetriever
        class Number:
            def __float__(self):
                r.__dict__.pop("_index", None); {_CHURN}
                return 1.0
        class Model:
            def embed_documents(self, texts): return [[1.0, float(i)] for i, _ in enumerate(texts)]
            def embed_query(self, text): return [Number(), 0.5]
        r = EmbeddingRetriever(Model()); r.index(["a", "b", "c"])
        print(r.search("q", 2))
        """),
    "cosine_similarity: the query's numbers drop the state": ("evaluation.retrieval.dravik", f"""
        from tavrin.evaluation.retrieval.dravik import EmbeddingRetriever
        class Number:
            def __float__(self):
                r.__dict__.pop("_index", None); {_CHURN}
                return 1.0
        class Model:
            def embed_documents(self, texts): return [[1.0, float(i)] for i, _ in enumerate(texts)]
        r = EmbeddingRetriever(Model()); r.index(["a", "b", "c"])
        print(r.cosine_similarity([Number(), 0.5]))
        """),
    "a replaced doc_embeddings drops the state while it is read": ("evaluation.retrieval.dravik", f"""
        from tavrin.evaluation.retrieval.dravik import EmbeddingRetriever
        class Number:
            def __float__(self):
                r.__dict__.pop("_index", None); {_CHURN}
                return 1.0
        class Model:
            def embed_documents(self, texts): return [[1.0, 0.0] for _ in texts]
            def embed_query(self, text): return [1.0, 0.0]
        r = EmbeddingRetriever(Model()); r.index(["a", "b"])
        r.doc_embeddings = [[Number(), 0.0], [0.0, 1.0]]
        print(r.search("q", 1))
        """),
    "_compute_retrieval_scores: a result list re-initialises the ground truth": ("evaluation.retrieval.dravik", f"""
        from tavrin.evaluation.retrieval.dravik import GroundTruth
        gt = GroundTruth([("q1", "d1", 1.0), ("q2", "d2", 2.0)])
        class Found(list):
            def __len__(self):
                gt.__init__([("x", "y", 1.0)]); {_CHURN}
                return list.__len__(self)
        print(gt._compute_retrieval_scores({{"q1": Found(["d1"] * 5)}}, 5))
        """),
    "_recall: the score matrix's numbers drop the judgements": ("evaluation.retrieval.dravik", f"""
        import numpy as np
        from tavrin.evaluation.retrieval.dravik import GroundTruth
        gt = GroundTruth([("q1", "d1", 1.0), ("q2", "d2", 2.0)])
        class Number:
            def __float__(self):
                gt.__dict__.pop("_judgements", None); {_CHURN}
                return 1.0
        print(gt._recall(np.array([[Number()], [1.0]], dtype=object)))
        """),
    "scores: numpy (a module global) drops the judgements": ("evaluation.retrieval.dravik", f"""
        import numpy
        from tavrin.evaluation.retrieval import dravik
        gt = dravik.GroundTruth([("q1", "d1", 1.0), ("q2", "d2", 2.0)])
        class Numpy:
            def full(self, *args, **kwargs):
                gt.__dict__.pop("_judgements", None); {_CHURN}
                return numpy.full(*args, **kwargs)
        dravik.np = Numpy()
        print(gt.scores)
        """),
    # embed_texts read the list's size once, but each row it builds can start
    # the garbage collector, and a finaliser can empty the list. (Copying the
    # list first is no cure: the copy's own allocation can start the collector
    # before the items are read; countdown 0 goes off there.)
    "embed_texts: a finaliser empties the list of texts": ("evaluation.retrieval.hashing_embedding", """
        import gc
        from tavrin.evaluation.retrieval.hashing_embedding import embed_texts
        for countdown in range(8):
            texts = ["def add(a, b): return a + b"] * 50
            class Bomb:
                def __init__(self, n): self.me, self.n = self, n
                def __del__(self):
                    if self.n: Bomb(self.n - 1)
                    else: texts.clear()
            gc.collect()
            Bomb(countdown); gc.set_threshold(1, 10**6, 10**6)
            try:
                print(countdown, len(embed_texts(texts, 4)))
            finally:
                gc.set_threshold(700, 10, 10)
        """),
}


def _script(code: str) -> str:
    return "try:\n" + textwrap.indent(textwrap.dedent(code), "    ") + (
        "\nexcept Exception as exc:\n    print('exception:', type(exc).__name__, exc)\nprint('ok')\n")


@pytest.fixture(scope="module")
def regression_runs() -> Iterator[Dict[str, Any]]:
    """The child processes of every case, started together (they run side by side)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    runs = {}
    for name, (dotted, code) in REGRESSIONS.items():
        if ft.load(dotted).module is not None:
            runs[name] = subprocess.Popen([sys.executable, "-X", "faulthandler", "-c", _script(code)], env=env,
                                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    yield runs
    for proc in runs.values():
        if proc.poll() is None:
            proc.kill()
            proc.communicate()


@pytest.mark.parametrize("name", list(REGRESSIONS))
def test_fault_found_by_fuzzing_stays_fixed(name: str, regression_runs: Dict[str, Any]) -> None:
    dotted, _ = REGRESSIONS[name]
    if name not in regression_runs:
        loaded = ft.load(dotted)
        pytest.skip(loaded.skip_reason or f"tavrin.{dotted} fails to import")
    proc = regression_runs[name]
    out, err = proc.communicate(timeout=300)
    assert proc.returncode == 0 and out.rstrip().endswith("ok"), (
        f"exit status {proc.returncode}\n{out[-2000:]}\n{err[-4000:]}")

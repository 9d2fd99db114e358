"""The pyface kit, seen from Python through its self-test module: C++ functions,
classes and generators that must behave like the Python code they stand for."""
import abc
import builtins
import copy
import gc
import inspect
import pickle
import sys
import tracemalloc
import types
import weakref
from collections import OrderedDict
from typing import Optional

import pytest

from tavrin import _pyface_selftest as st


# Pure-Python twins of some self-test functions; binding errors and signatures
# must read the same.
def signature_demo(self, json_path: "str", markdown_path: "Optional[str]" = None,
                   verbose: "bool" = False):
    pass


def typed(s: "str", i: "int", l: "list", d: "dict", f: "float", o: "Optional[list]" = None,
          *, k: "str" = "x") -> "str":
    pass


def collect(a, *args, **kwargs):
    pass


def error_message(func, args, kwargs):
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    return str(info.value)


class Log(list):
    """A list that can be weakly referenced."""


# ---------------------------------------------------------------- function attributes

class TestFunctionAttributes:
    def test_names_and_module(self):
        assert st.typed.__name__ == "typed"
        assert st.typed.__qualname__ == "typed"
        assert st.typed.__module__ == "tavrin._pyface_selftest"
        assert st.Square.area.__qualname__ == "Square.area"

    def test_closure_has_local_qualname_and_its_own_value(self):
        add3, add10 = st.make_adder(3), st.make_adder(10)
        assert add3.__name__ == "adder"
        assert add3.__qualname__ == "make_adder.<locals>.adder"
        assert (add3(4), add10(4)) == (7, 14)
        assert repr(add3).startswith("<function make_adder.<locals>.adder at 0x")

    def test_docstrings(self):
        assert st.signature_demo.__doc__ == "Return the bound arguments."
        assert st.typed.__doc__ is None

    def test_defaults_kwdefaults_and_annotation_strings(self):
        assert st.signature_demo.__defaults__ == (None, False)
        assert st.signature_demo.__kwdefaults__ is None
        assert st.typed.__defaults__ == (None,)
        assert st.typed.__kwdefaults__ == {"k": "x"}
        assert st.typed.__annotations__ == {
            "s": "str", "i": "int", "l": "list", "d": "dict", "f": "float",
            "o": "Optional[list]", "k": "str", "return": "str",
        }
        assert st.collect.__annotations__ == {}

    def test_signature(self):
        assert str(inspect.signature(st.signature_demo)) == (
            "(self, json_path: 'str', markdown_path: 'Optional[str]' = None, "
            "verbose: 'bool' = False)")
        for twin in (signature_demo, typed, collect):
            assert inspect.signature(getattr(st, twin.__name__)) == inspect.signature(twin)

    def test_dict_is_writable_and_per_function(self, monkeypatch):
        monkeypatch.setattr(st.typed, "__click_params__", ["p"], raising=False)
        assert st.typed.__dict__ == {"__click_params__": ["p"]}
        assert "__click_params__" not in vars(st.collect)

    def test_changed_defaults_change_binding_and_signature(self, monkeypatch):
        monkeypatch.setattr(st.signature_demo, "__defaults__", ("md", True))
        assert st.signature_demo(1, "j") == (1, "j", "md", True)
        assert "markdown_path: 'Optional[str]' = 'md'" in str(inspect.signature(st.signature_demo))
        monkeypatch.setattr(st.signature_demo, "__defaults__", None)
        assert error_message(st.signature_demo, (1, "j"), {}) == (
            "signature_demo() missing 2 required positional arguments: "
            "'markdown_path' and 'verbose'")
        monkeypatch.setattr(st.typed, "__kwdefaults__", None)
        assert error_message(st.typed, ("s", 1, [], {}, 1.0), {}) == (
            "typed() missing 1 required keyword-only argument: 'k'")

    def test_assigned_signature_wins(self, monkeypatch):
        sig = inspect.Signature()
        monkeypatch.setattr(st.collect, "__signature__", sig, raising=False)
        assert inspect.signature(st.collect) is sig

    def test_weakref_repr_pickle_and_copy(self):
        ref = weakref.ref(st.typed)
        assert ref() is st.typed
        assert repr(st.typed) == f"<function typed at {hex(id(st.typed))}>"
        # like Python functions: by reference, and the same object comes back
        for func in (st.typed, st.Square.area):
            assert pickle.loads(pickle.dumps(func)) is func
            assert copy.copy(func) is func and copy.deepcopy([func])[0] is func


# ---------------------------------------------------------------- binding

class TestBinding:
    def test_attribute_of_an_instance_is_a_real_bound_method(self):
        class Holder:
            meth = st.collect

        h = Holder()
        bound = h.meth
        assert type(bound) is types.MethodType
        assert bound.__self__ is h and bound.__func__ is st.collect
        assert bound(1, k=2) == (h, (1,), {"k": 2})
        assert Holder.meth is st.collect

    def test_varargs_and_varkw(self):
        assert st.collect(1, 2, 3, x=4) == (1, (2, 3), {"x": 4})
        assert st.collect(a=1) == (1, (), {})
        # a keyword named like the *args parameter is just another keyword
        assert st.collect(1, args=2) == (1, (), {"args": 2})

    def test_keyword_only_parameter(self):
        assert st.typed("s", 1, [], {}, 1.5, k="y")[-1] == "y"

    def test_parameters_are_read_by_name(self):
        # the body of typed() names its parameters in reverse order
        assert st.typed("s", 1, [2], {3: 4}, 5, [6], k="z") == ("s", 1, [2], {3: 4}, 5.0, [6], "z")
        assert st.typed(k="z", o=None, f=0.5, d={}, l=[], i=2, s="t") == ("t", 2, [], {}, 0.5, None, "z")

    @pytest.mark.parametrize("func, args, kwargs", [
        (signature_demo, (), {}),
        (signature_demo, (1,), {}),
        (signature_demo, (1, "j", None, False, 5), {}),
        (signature_demo, (1, "j"), {"zz": 1}),
        (signature_demo, (1, "j", None, False, 5), {"zz": 1}),
        (signature_demo, (1, "j"), {"json_path": "k"}),
        (typed, ("s",), {}),
        (typed, ("s", 1, [], {}, 1.0, None, "k"), {}),
        (collect, (), {"b": 1}),
    ], ids=["none", "one-missing", "too-many", "unexpected-kw", "kw-before-count",
            "multiple-values", "four-missing", "kwonly-positionally", "varkw-missing"])
    def test_binding_errors_read_like_cpython(self, func, args, kwargs):
        native = getattr(st, func.__name__)
        assert error_message(native, args, kwargs) == error_message(func, args, kwargs)


# ---------------------------------------------------------------- entry checks

class TestEntryChecks:
    def test_message(self):
        assert error_message(st.signature_demo, (None, 1), {}) == (
            "Argument 'json_path' has incorrect type (expected str, got int)")

    @pytest.mark.parametrize("position, value, expected, got", [
        (0, type("Text", (str,), {})("x"), "str", "Text"),
        (0, None, "str", "NoneType"),
        (1, True, "int", "bool"),
        (1, 1.0, "int", "float"),
        (2, (1,), "list", "tuple"),
        (3, OrderedDict(), "dict", "collections.OrderedDict"),  # tp_name
        (5, {}, "list", "dict"),
    ])
    def test_exact_type_required(self, position, value, expected, got):
        args = ["s", 1, [], {}, 1.0, None]
        args[position] = value
        name = "sildfo"[position]
        assert error_message(st.typed, args, {}) == (
            f"Argument '{name}' has incorrect type (expected {expected}, got {got})")

    def test_keyword_only_is_checked(self):
        assert error_message(st.typed, ("s", 1, [], {}, 1.0), {"k": b"x"}) == (
            "Argument 'k' has incorrect type (expected str, got bytes)")

    def test_optional_accepts_none_and_float_converts(self):
        result = st.typed("s", 1, [], {}, 2, None)
        assert result[4] == 2.0 and type(result[4]) is float
        assert st.signature_demo(0, "j", None) == (0, "j", None, False)
        with pytest.raises(TypeError):
            st.typed("s", 1, [], {}, "2.0")

    def test_other_annotations_are_not_checked(self):
        assert st.signature_demo(0, "j", None, "yes")[3] == "yes"

    def test_expect_exact_or_none(self):
        assert st.expect_unicode(None) is None
        assert st.expect_unicode("a") == "a"
        with pytest.raises(TypeError, match=r"^Expected unicode, got Log$"):
            st.expect_unicode(Log())


# ---------------------------------------------------------------- classes

class TestClasses:
    def test_abstract_base(self):
        assert type(st.Shape) is abc.ABCMeta
        assert st.Shape.__doc__ == "A shape."
        assert st.Shape.__module__ == "tavrin._pyface_selftest"
        with pytest.raises(TypeError, match="abstract method area"):
            st.Shape()
        assert isinstance(st.Square(1), st.Shape)

    def test_methods_classmethod_property_and_attributes(self):
        sq = st.Square(3)
        assert sq.side == 3.0 and type(sq.side) is float
        assert sq.area() == 9.0
        assert type(sq.area) is types.MethodType
        assert sq.label == "square of 3.0"
        with pytest.raises(AttributeError):
            sq.label = "x"
        assert st.Square.sides == 4
        assert str(inspect.signature(st.Square)) == "(side: 'float') -> 'None'"

    def test_classmethod_binds_to_the_class_it_is_called_on(self):
        class Big(st.Square):
            pass

        assert type(st.Square.unit()) is st.Square
        unit = Big.unit()
        assert type(unit) is Big and unit.side == 1.0

    def test_named_tuple_record(self):
        p = st.Point(1)
        assert p == (1, 0) and isinstance(p, tuple)
        assert st.Point(x=2, y=3).y == 3
        assert st.Point._fields == ("x", "y")
        assert st.Point._field_defaults == {"y": 0}
        assert p._asdict() == {"x": 1, "y": 0}
        assert st.Point.__module__ == "tavrin._pyface_selftest"
        with pytest.raises(TypeError):
            st.Point()


# ---------------------------------------------------------------- generators

class TestGenerators:
    def test_lazy_until_first_next(self):
        log = Log()
        gen = st.trace(log)
        assert log == []
        assert iter(gen) is gen
        assert next(gen) == 1 and log == ["started"]
        assert next(gen) == 2 and log == ["started", "resumed"]
        with pytest.raises(StopIteration):
            next(gen)
        assert log == ["started", "resumed", "finished"]

    def test_exhausted_stays_exhausted(self):
        gen = st.count(3)
        assert list(gen) == [0, 1, 2]
        assert list(gen) == []

    def test_exception_propagates_then_exhausted(self):
        gen = st.count(10, "raise")
        assert [next(gen) for _ in range(3)] == [0, 1, 2]
        with pytest.raises(RuntimeError, match="^stopped at 3$"):
            next(gen)
        assert list(gen) == []

    def test_close_midway(self):
        log = Log()
        gen = st.trace(log)
        next(gen)
        gen.close()
        assert list(gen) == []
        assert log == ["started"]
        gen.close()  # closing again is harmless

    def test_reentrant_next_is_refused(self):
        class Reentrant(Log):
            def append(self, item):
                super().append(item)
                next(self.gen)

        log = Reentrant()
        log.gen = st.trace(log)
        with pytest.raises(ValueError, match="generator already executing"):
            next(log.gen)
        assert list(log.gen) == []

    @pytest.mark.parametrize("how", ["abandoned", "exhausted", "closed", "failed"])
    def test_what_it_holds_is_released(self, how):
        log = Log()
        ref = weakref.ref(log)
        gen = st.trace(log) if how != "failed" else st.count(10, log)
        next(gen)
        if how == "exhausted":
            list(gen)
        elif how == "closed":
            gen.close()
        elif how == "failed":
            with pytest.raises(TypeError):
                list(gen)  # the body reads `mode` as a str at the fourth item
        del log
        if how == "abandoned":
            del gen
        assert ref() is None

    def test_abandoned_in_a_cycle_is_collected(self):
        log = Log()
        log.gen = st.count(10, log)  # log -> generator -> log
        next(log.gen)
        ref = weakref.ref(log)
        del log
        gc.collect()
        assert ref() is None


# ---------------------------------------------------------------- unpacking

class TestUnpacking:
    @pytest.mark.parametrize("make", [tuple, list, iter], ids=["tuple", "list", "iterator"])
    def test_values_and_messages(self, make):
        assert st.pair(make([1, 2])) == (2, 1)
        for values, message in [([1, 2, 3], "too many values to unpack (expected 2)"),
                                ([1], "need more than 1 value to unpack"),
                                ([], "need more than 0 values to unpack")]:
            with pytest.raises(ValueError) as info:
                st.pair(make(values))
            assert str(info.value) == message

    def test_iterator_error_propagates(self):
        boom = KeyError("boom")

        def items(n):
            yield from range(n)
            raise boom

        for n in (1, 2):  # while filling, and while checking for a surplus
            with pytest.raises(KeyError) as info:
                st.pair(items(n))
            assert info.value is boom

    def test_not_iterable(self):
        with pytest.raises(TypeError, match="'int' object is not iterable"):
            st.pair(5)


# ---------------------------------------------------------------- globals, strings, errors

class TestModuleGlobals:
    def test_read_at_call_time(self, monkeypatch):
        with pytest.raises(NameError, match="^name 'helper' is not defined$"):
            st.use_global()
        monkeypatch.setattr(st, "helper", lambda: "first", raising=False)
        assert st.use_global() == "first"
        monkeypatch.setattr(st, "helper", lambda: "second")
        assert st.use_global() == "second"

    def test_builtins_are_the_fallback(self, monkeypatch):
        monkeypatch.setattr(builtins, "helper", lambda: "builtin", raising=False)
        assert st.use_global() == "builtin"


class Formatted:
    def __format__(self, fmt):
        return "F" + fmt


def test_concat_formats_like_an_fstring():
    for a, b in [(1.5, None), ("x", 2), (Formatted(), [1])]:
        assert st.concat(a, b) == f"<{a}|{b}>"


class TestExceptions:
    @pytest.mark.parametrize("kind, exc_type, message", [
        ("runtime", RuntimeError, "boom"),
        ("bad_alloc", MemoryError, ""),
        ("length", MemoryError, "cannot create std::vector larger than max_size()"),
        ("value", ValueError, "bad value"),
        ("int", SystemError, "unknown C++ exception"),
        # nanobind's own translator, reached through its chain
        ("out_of_range", IndexError, "no such item"),
        # a translator the module registered in that chain
        ("refusal", PermissionError, "not today"),
    ])
    def test_cpp_exceptions_become_python_ones(self, kind, exc_type, message):
        with pytest.raises(exc_type) as info:
            st.fail(kind)
        assert type(info.value) is exc_type and str(info.value) == message

    def test_a_body_reading_another_functions_table_is_refused(self):
        with pytest.raises(SystemError, match="mismatched\\(\\): its body reads parameter 'kwargs' from another"):
            st.mismatched(1)

    def test_python_callee_error_is_the_same_object(self):
        err = LookupError("from python")

        def raiser():
            raise err

        with pytest.raises(LookupError) as info:
            st.fail(raiser)
        assert info.value is err
        tb = info.value.__traceback__
        while tb.tb_next:
            tb = tb.tb_next
        assert tb.tb_frame.f_code is raiser.__code__


# ---------------------------------------------------------------- references

def test_repeated_calls_hold_on_to_nothing():
    arg = Formatted()

    def raiser():
        raise KeyError(arg)

    def calls():
        st.collect(arg, arg, key=arg)
        st.typed("s", 1, [arg], {"a": arg}, 2, k="k")
        st.pair((arg, arg))
        st.concat(arg, 1)
        st.Square(2).label
        list(st.count(3, None))
        for bad in ((lambda: st.typed(arg)), (lambda: st.typed("s", arg, [], {}, 1.0)),
                    (lambda: st.collect(arg, a=arg)), (lambda: st.pair([arg])),
                    (lambda: st.fail(raiser)), (lambda: st.fail("runtime"))):
            try:
                bad()
            except (TypeError, ValueError, KeyError, RuntimeError):
                pass

    for _ in range(200):
        calls()
    gc.collect()
    refs = sys.getrefcount(arg)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(10_000):
            calls()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert sys.getrefcount(arg) == refs
    assert grown < 100_000  # one leaked object per call would be megabytes


def test_an_error_in_a_module_body_fails_the_import_unchanged() -> None:
    # as the body of a Python module: the dependency's own error, not a wrapper of it
    import os
    import subprocess

    script = (
        "import sys\n"
        "try:\n"
        "    import tavrin._pyface_selftest\n"
        "except BaseException as exc:\n"
        "    print(type(exc).__name__, exc.name, exc.__cause__ is None)\n"
    )
    env = dict(os.environ, PYFACE_SELFTEST_IMPORT="no_such_module_anywhere")
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=120)
    assert done.stdout.split() == ["ModuleNotFoundError", "no_such_module_anywhere", "True"], done.stderr

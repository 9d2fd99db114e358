"""The base class of evaluators, their result type and the registry of evaluators by name."""

import importlib
from importlib import metadata
from typing import Any, ClassVar, Dict, List, NamedTuple, Optional, Type

from tavrin.evaluation.qa.question_set import TestCase

_BUILTIN_MODULES: Dict[str, str] = {
    "Correctness": "tavrin.evaluation.qa.evaluator.correctness",
    "ExactMatch": "tavrin.evaluation.qa.evaluator.exact_match",
}

#: Installed packages offer their own evaluators under this entry-point group: the entry's
#: name is the evaluator's name, its value "package.module:ClassName".
ENTRY_POINT_GROUP = "tavrin.evaluators"

_registry: Dict[str, Type["Evaluator"]] = {}


class UnknownEvaluatorError(LookupError):
    """No evaluator is registered under the name asked for."""


class EvalResult(NamedTuple):
    """An evaluator's judgement: a value (bool, number, text or None) and the reason for it."""

    value: Any
    reason: Any


class Evaluator:
    """Judges a subject's answer to a test case.

    Every subclass is registered under its ``name``: the class name, unless the class
    body sets ``name`` itself. A later class with the same name replaces the earlier one
    in the registry.
    """

    name: ClassVar[str] = "Evaluator"
    description: str = ""

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        if "name" not in cls.__dict__:
            cls.name = cls.__name__
        if not isinstance(cls.name, str):
            raise TypeError(f"{cls.__qualname__}.name must be a str, got {type(cls.name).__name__}")
        _registry[cls.name] = cls

    def evaluate(self, prediction: Optional[str], case: TestCase) -> EvalResult:
        """Judge ``prediction`` (the subject's answer, or None) against ``case``."""
        raise NotImplementedError(f"{type(self).__qualname__} does not implement evaluate()")


def get_evaluator_from_name(name: str) -> Type[Evaluator]:
    """Return the evaluator class registered as ``name``.

    A built-in evaluator's module is imported on first lookup (an import failure
    propagates). Raises ``UnknownEvaluatorError`` listing the known names otherwise.
    """
    cls = _registry.get(name)
    if cls is None and name in _BUILTIN_MODULES:
        module = importlib.import_module(_BUILTIN_MODULES[name])
        # the module's own class, also when the registry was replaced after its import
        cls = _registry.get(name) or getattr(module, name, None)
    if cls is None:
        entry = _entry_points().get(name)
        if entry is not None:
            loaded = entry.load()
            cls = _registry.get(name, loaded if isinstance(loaded, type) else None)
    if cls is None:
        known = ", ".join(known_names())
        raise UnknownEvaluatorError(f"unknown evaluator {name!r}; known evaluators: {known}")
    return cls


def _entry_points() -> Dict[str, "metadata.EntryPoint"]:
    try:
        return {ep.name: ep for ep in metadata.entry_points(group=ENTRY_POINT_GROUP)}
    except Exception:  # a broken installed distribution must not break the lookup
        return {}


def known_names() -> List[str]:
    """The names a lookup finds: registered, built-in and offered by installed packages."""
    return sorted(set(_registry) | set(_BUILTIN_MODULES) | set(_entry_points()))

"""The base class of evaluators, their result type and the registry of evaluators by name."""

import importlib
from typing import Any, ClassVar, Dict, NamedTuple, Optional, Type

from tavrin.evaluation.qa.question_set import TestCase

_BUILTIN_MODULES: Dict[str, str] = {
    "Correctness": "tavrin.evaluation.qa.evaluator.correctness",
    "ExactMatch": "tavrin.evaluation.qa.evaluator.exact_match",
}

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
        importlib.import_module(_BUILTIN_MODULES[name])
        cls = _registry.get(name)
    if cls is None:
        known = ", ".join(sorted(set(_registry) | set(_BUILTIN_MODULES)))
        raise UnknownEvaluatorError(f"unknown evaluator {name!r}; known evaluators: {known}")
    return cls

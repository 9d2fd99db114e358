"""The base class of evaluators, their result type and the registry of evaluators by name."""

from importlib import metadata
from typing import Any, ClassVar, Dict, List, NamedTuple, Optional, Type

from tavrin.errors import UnknownEvaluatorError
from tavrin.evaluation.qa.question_set import TestCase
from tavrin.evaluation.qa.registry import Registry, entry_points_of

_BUILTIN_MODULES: Dict[str, str] = {
    "Correctness": "tavrin.evaluation.qa.evaluator.correctness",
    "ExactMatch": "tavrin.evaluation.qa.evaluator.exact_match",
}

#: Installed packages offer their own evaluators under this entry-point group: the entry's
#: name is the evaluator's name, its value "package.module:ClassName".
ENTRY_POINT_GROUP = "tavrin.evaluators"

_registry: Dict[str, Type["Evaluator"]] = {}


#: The evaluators by name; the table is this module's ``_registry`` (see tavrin.evaluation.qa.registry).
REGISTRY = Registry(kind="evaluator", module=__name__, base="Evaluator", error=UnknownEvaluatorError)


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
        REGISTRY.register(cls)

    def evaluate(self, prediction: Optional[str], case: TestCase) -> EvalResult:
        """Judge ``prediction`` (the subject's answer, or None) against ``case``."""
        raise NotImplementedError(f"{type(self).__qualname__} does not implement evaluate()")


def get_evaluator_from_name(name: str) -> Type[Evaluator]:
    """Return the evaluator class registered as ``name``.

    A built-in evaluator's module is imported on first lookup (an import failure
    propagates). Raises ``UnknownEvaluatorError`` listing the known names otherwise.
    """
    return REGISTRY.get(name)


def _entry_points() -> Dict[str, "metadata.EntryPoint"]:
    return entry_points_of(ENTRY_POINT_GROUP)


def known_names() -> List[str]:
    """The names a lookup finds: registered, built-in and offered by installed packages."""
    return REGISTRY.known_names()

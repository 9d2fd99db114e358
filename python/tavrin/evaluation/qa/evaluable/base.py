"""The base class of question-answering subjects and the registry of subjects by name."""

from importlib import metadata
from typing import Any, ClassVar, Dict, List, Optional, Tuple, Type

from tavrin.errors import UnknownEvaluableError
from tavrin.evaluation.qa.registry import Registry, entry_points_of

_BUILTIN_MODULES: Dict[str, str] = {
    "YesWoman": "tavrin.evaluation.qa.evaluable.pivra",
    "NoWoman": "tavrin.evaluation.qa.evaluable.pivra",
    "EvaluableStuffDocumentCodeQA": "tavrin.evaluation.qa.evaluable.brandle",
    "Mundle": "tavrin.evaluation.qa.evaluable.mundle",
}

#: Installed packages offer their own subjects under this entry-point group: the entry's
#: name is the subject's name, its value "package.module:ClassName".
ENTRY_POINT_GROUP = "tavrin.subjects"

_registry: Dict[str, Type["EvaluableQA"]] = {}


#: The subjects by name; the table is this module's ``_registry`` (see tavrin.evaluation.qa.registry).
REGISTRY = Registry(kind="subject", module=__name__, base="EvaluableQA", error=UnknownEvaluableError)


class EvaluableQA:
    """A question-answering system that an evaluation puts test questions to.

    Every subclass is registered under its ``name``: the class name, unless the class
    body sets ``name`` itself. A later class with the same name replaces the earlier one
    in the registry.
    """

    name: ClassVar[str] = "EvaluableQA"

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        REGISTRY.register(cls)

    def predict(self, question: str) -> Tuple[Optional[str], Optional[List[Dict[str, Any]]]]:
        """Answer ``question``: return the answer text and the metadata of its source documents."""
        raise NotImplementedError(f"{type(self).__qualname__} does not implement predict()")


def get_evaluable_from_name(name: str) -> Type[EvaluableQA]:
    """Return the subject class registered as ``name``.

    A built-in subject's module is imported on first lookup (an import failure
    propagates). Raises ``UnknownEvaluableError`` listing the known names otherwise.
    """
    return REGISTRY.get(name)


def _entry_points() -> Dict[str, "metadata.EntryPoint"]:
    return entry_points_of(ENTRY_POINT_GROUP)


def known_names() -> List[str]:
    """The names a lookup finds: registered, built-in and offered by installed packages."""
    return REGISTRY.known_names()

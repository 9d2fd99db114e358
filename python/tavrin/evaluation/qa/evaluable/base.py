"""The base class of question-answering subjects and the registry of subjects by name."""

import importlib
from importlib import metadata
from typing import Any, ClassVar, Dict, List, Optional, Tuple, Type

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


class UnknownEvaluableError(LookupError):
    """No subject is registered under the name asked for."""


class EvaluableQA:
    """A question-answering system that an evaluation puts test questions to.

    Every subclass is registered under its ``name``: the class name, unless the class
    body sets ``name`` itself. A later class with the same name replaces the earlier one
    in the registry.
    """

    name: ClassVar[str] = "EvaluableQA"

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        if "name" not in cls.__dict__:
            cls.name = cls.__name__
        if not isinstance(cls.name, str):
            raise TypeError(f"{cls.__qualname__}.name must be a str, got {type(cls.name).__name__}")
        _registry[cls.name] = cls

    def predict(self, question: str) -> Tuple[Optional[str], Optional[List[Dict[str, Any]]]]:
        """Answer ``question``: return the answer text and the metadata of its source documents."""
        raise NotImplementedError(f"{type(self).__qualname__} does not implement predict()")


def get_evaluable_from_name(name: str) -> Type[EvaluableQA]:
    """Return the subject class registered as ``name``.

    A built-in subject's module is imported on first lookup (an import failure
    propagates). Raises ``UnknownEvaluableError`` listing the known names otherwise.
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
        raise UnknownEvaluableError(f"unknown subject {name!r}; known subjects: {known}")
    return cls


def _entry_points() -> Dict[str, "metadata.EntryPoint"]:
    try:
        return {ep.name: ep for ep in metadata.entry_points(group=ENTRY_POINT_GROUP)}
    except Exception:  # a broken installed distribution must not break the lookup
        return {}


def known_names() -> List[str]:
    """The names a lookup finds: registered, built-in and offered by installed packages."""
    return sorted(set(_registry) | set(_BUILTIN_MODULES) | set(_entry_points()))

"""Subjects and evaluators named on the command line: found, and given their constructor
arguments (``--subject-option``)."""

from __future__ import annotations

import inspect
from typing import Any, Dict, List, Optional, Tuple

import click

from tavrin.commands._qa.common import (
    Fail,
)
from tavrin.evaluation.qa.evaluable import base as evaluable_base
from tavrin.evaluation.qa.evaluator import base as evaluator_base
from tavrin.evaluation.qa.registry import Registry


def _registry(kind: str) -> Registry:
    return evaluable_base.REGISTRY if kind == "subject" else evaluator_base.REGISTRY


def resolve_classes(values: Tuple[str, ...], kind: str) -> Tuple[List[Any], Dict[str, str]]:
    """The classes named by ``values`` (names or module:Class) and where the module:Class ones came from."""
    registry = _registry(kind)
    classes: List[Any] = []
    origins: Dict[str, str] = {}
    for value in values:
        cls: Any
        try:  # an unknown name, or a module:Class that names no such class, is the registry's error
            cls, origin = registry.resolve(value)
        except ImportError as exc:
            raise Fail(f"{kind} {value!r} cannot be loaded: {exc}") from exc
        if origin is not None:
            origins[cls.name] = origin
        classes.append(cls)
    return classes, origins


def _import_recorded(classes: Optional[Dict[str, Dict[str, str]]]) -> None:
    """Import the module:Class subjects and evaluators a report names, so lookups find them."""
    for kind in ("subjects", "evaluators"):
        for name, dotted in ((classes or {}).get(kind) or {}).items():
            _registry(kind[:-1]).adopt(name, dotted)


def _parse_options(values: Tuple[str, ...]) -> Dict[str, str]:
    options: Dict[str, str] = {}
    for value in values:
        key, sep, text = value.partition("=")
        if not sep or not key.strip():
            raise Fail(f"--subject-option {value!r}: write KEY=VALUE")
        options[key.strip()] = text
    return options


def _convert(value: str, parameter: inspect.Parameter, subject: str) -> Any:
    annotation = parameter.annotation
    text = annotation if isinstance(annotation, str) else getattr(annotation, "__name__", str(annotation))
    if "Embeddings" in text or parameter.name.endswith("embedding_cls"):
        from tavrin.commands.common import resolve_embeddings

        try:
            return resolve_embeddings(value)
        except click.BadParameter as exc:
            raise Fail(f"{subject}: --subject-option {parameter.name}: {exc.message}") from exc
    try:
        if text == "int":
            return int(value)
        if text == "float":
            return float(value)
    except ValueError as exc:
        raise Fail(f"{subject}: --subject-option {parameter.name}={value!r} is not a {text}") from exc
    if text == "bool":
        return value.strip().lower() in ("1", "true", "yes", "on")
    return value


def bind_options(classes: List[Any], options: Dict[str, str]) -> List[Any]:
    """``classes`` with the constructor arguments in ``options`` bound to those that take them.

    A class whose constructor needs arguments that ``options`` lacks is refused with a
    message naming them. An option that no class takes is refused too.
    """
    used = set()
    out = []
    for cls in classes:
        try:
            signature = inspect.signature(cls.__init__)
        except (TypeError, ValueError):
            out.append(cls)
            continue
        parameters = list(signature.parameters.values())[1:]
        named = {p.name: p for p in parameters if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)}
        kwargs: Dict[str, Any] = {}
        for key, value in options.items():
            target = key if key in named else f"{key}_name" if f"{key}_name" in named else None
            if target is not None:
                kwargs[target] = _convert(value, named[target], cls.name)
                used.add(key)
        missing = [p.name for p in named.values() if p.default is p.empty and p.name not in kwargs]
        if missing:
            hint = " ".join(f"--subject-option {m}=VALUE" for m in missing)
            raise Fail(f"subject {cls.name} needs constructor argument(s) {', '.join(missing)}: pass {hint}")
        out.append(_bound(cls, kwargs) if kwargs else cls)
    unused = sorted(set(options) - used)
    if unused:
        raise Fail(f"--subject-option {unused[0]}: no subject takes this argument")
    return out


def _bound(cls: Any, kwargs: Dict[str, Any]) -> type:
    def __init__(self: Any) -> None:
        cls.__init__(self, **kwargs)

    registry = evaluable_base._registry
    previous = registry.get(cls.name)
    bound = type(
        cls.__name__,
        (cls,),
        {
            "__init__": __init__,
            "name": cls.name,
            "__module__": cls.__module__,
            "__qualname__": cls.__qualname__,
            "__doc__": cls.__doc__,
        },
    )
    if previous is not None:  # the bound class stands in for this run only
        registry[cls.name] = previous
    return bound


def _known(kind: str) -> str:
    names = _registry(kind).known_names()
    return ", ".join(names)

"""Classes and other objects named as "package.module:attribute", the way the command line
takes a subject, an evaluator, a retriever or an embedding model of one's own."""

import importlib
from typing import Any, Callable, Optional

__all__ = ["load_attribute", "load_class"]


def load_attribute(module_name: str, attribute: str) -> Any:
    """``module_name`` imported, then ``attribute`` (a dotted path: "Outer.Inner") read from it.

    The import's own ``ImportError``, or the ``AttributeError`` of the first part missing,
    goes to the caller unchanged.
    """
    target: Any = importlib.import_module(module_name)
    for part in attribute.split("."):
        target = getattr(target, part)
    return target


def load_class(
    dotted: str,
    base: type,
    what: str,
    error: Callable[[str], Exception] = ValueError,
    *,
    base_name: Optional[str] = None,
) -> type:
    """The class "package.module:Class" that ``dotted`` names, which must derive from ``base``.

    Anything wrong raises ``error(message)``, the message beginning with ``what`` (e.g.
    "subject 'pkg:Cls'") and naming ``base`` as ``base_name`` (default: its name).
    """
    module_name, _, attribute = dotted.partition(":")
    if not module_name or not attribute:
        raise error(f"{what}: write module:ClassName")
    try:
        target = load_attribute(module_name, attribute)
    except ImportError as exc:
        raise error(f"{what}: cannot import {module_name!r}: {exc}") from exc
    except AttributeError as exc:
        raise error(f"{what}: module {module_name!r} has no {attribute!r}") from exc
    if not isinstance(target, type) or not issubclass(target, base):
        raise error(f"{what} is not a subclass of {base_name or base.__name__}")
    return target

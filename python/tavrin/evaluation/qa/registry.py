"""The registry of named classes, one for subjects and one for evaluators.

Each kind keeps its table in its base module (``evaluable/base.py``, ``evaluator/base.py``):
the module's ``_registry`` dict, its ``_BUILTIN_MODULES`` (name to module imported on first
lookup) and its ``_entry_points()`` (what installed packages offer under the kind's
entry-point group). A ``Registry`` reads those three from the module's namespace at each
use, so replacing one of them (a test's ``monkeypatch``) takes effect at once.

A class may also be named as "package.module:ClassName" (``import_class``); such a class is
not looked up but imported, and a report keeps where it came from so that a resumed run
finds it again (``adopt``).
"""

import importlib
import sys
from importlib import metadata
from typing import Any, Dict, List, Optional, Tuple, Type

from tavrin._classes import load_class
from tavrin._errors import did_you_mean
from tavrin.errors import ClassSpecError


def entry_points_of(group: str) -> Dict[str, "metadata.EntryPoint"]:
    """The entry points of ``group`` by name; none when the installed metadata cannot be read."""
    try:
        return {ep.name: ep for ep in metadata.entry_points(group=group)}
    except Exception:  # a broken installed distribution must not break the lookup
        return {}


class Registry:
    """The classes of one kind (``kind``: "subject" or "evaluator") by name."""

    def __init__(self, *, kind: str, module: str, base: str, error: Type[LookupError]) -> None:
        self.kind = kind
        self._module = module
        self._base = base
        self._error = error

    def _namespace(self) -> Dict[str, Any]:
        return vars(sys.modules[self._module])

    @property
    def table(self) -> Dict[str, type]:
        """The registered classes by name (the base module's ``_registry``)."""
        return self._namespace()["_registry"]

    @property
    def base(self) -> type:
        """The base class every class of this kind derives from."""
        return self._namespace()[self._base]

    def register(self, cls: type) -> None:
        """Name ``cls`` (its class name unless its body sets ``name``) and register it."""
        if "name" not in cls.__dict__:
            cls.name = cls.__name__  # type: ignore[attr-defined]
        if not isinstance(cls.name, str):  # type: ignore[attr-defined]
            raise TypeError(f"{cls.__qualname__}.name must be a str, got {type(cls.name).__name__}")  # type: ignore[attr-defined]
        self.table[cls.name] = cls  # type: ignore[attr-defined]

    def get(self, name: str, *, where: Optional[str] = None) -> type:
        """The class registered as ``name``; a built-in's module is imported on first lookup (an
        import failure propagates), then installed packages' entry points are asked. Raises the
        kind's lookup error listing the known names otherwise (after ``where: ``, when given: the
        file that named the class)."""
        namespace = self._namespace()
        builtin_modules: Dict[str, str] = namespace["_BUILTIN_MODULES"]
        cls = self.table.get(name)
        if cls is None and name in builtin_modules:
            module = importlib.import_module(builtin_modules[name])
            # the module's own class, also when the registry was replaced after its import
            cls = self.table.get(name) or getattr(module, name, None)
        if cls is None:
            entry = namespace["_entry_points"]().get(name)
            if entry is not None:
                loaded = entry.load()
                cls = self.table.get(name, loaded if isinstance(loaded, type) else None)
        if cls is None:
            names = self.known_names()
            hint = did_you_mean(name, names) if isinstance(name, str) else ""
            prefix = f"{where}: " if where else ""
            raise self._error(f"{prefix}unknown {self.kind} {name!r}{hint}; known {self.kind}s: {', '.join(names)}")
        return cls

    def known_names(self) -> List[str]:
        """The names a lookup finds: registered, built-in and offered by installed packages."""
        namespace = self._namespace()
        return sorted(set(self.table) | set(namespace["_BUILTIN_MODULES"]) | set(namespace["_entry_points"]()))

    def import_class(self, dotted: str) -> type:
        """The class "package.module:ClassName" (a dotted attribute path after the colon), which
        must derive from the kind's base class; ``ClassSpecError`` saying what is wrong otherwise."""
        return load_class(dotted, self.base, f"{self.kind} {dotted!r}", ClassSpecError)

    def resolve(self, value: str) -> Tuple[type, Optional[str]]:
        """The class ``value`` names (a registered name, or "module:ClassName") and, for the
        latter, where it came from."""
        if ":" in value:
            return self.import_class(value), value
        return self.get(value), None

    def adopt(self, name: str, dotted: str) -> None:
        """Import the class a report recorded as ``name`` from ``dotted`` ("module:ClassName")
        and register it under that name unless the name is taken."""
        self.table.setdefault(name, self.import_class(dotted))

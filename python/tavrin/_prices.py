"""What a model's tokens cost: the price table shipped with tavrin, and a user's own.

The table (``data/prices.json``) gives, for each model, the US dollars a model service
charges per 1,000 input (prompt) tokens and per 1,000 output (answer) tokens, and the date
those list prices are from. A file of the same shape (``--prices FILE``) changes the price
of a model the table knows (either figure, or both) and adds models it does not know
(both figures then). A model name with a date or version after its family's name
(``gpt-4o-2024-08-06``, ``gpt-4-0613``) takes the family's price unless it has its own.
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, Mapping, Optional

from tavrin.errors import TavrinError

__all__ = ["Price", "PriceError", "PriceTable", "builtin_prices"]

_BUILTIN = Path(__file__).resolve().parent / "data" / "prices.json"
_FIELDS = ("input", "output")


class PriceError(TavrinError, ValueError):
    """A price file that cannot be used: its text names the file and the entry."""


@dataclass(frozen=True)
class Price:
    """US dollars per 1,000 input tokens and per 1,000 output tokens."""

    input: float
    output: float

    def cost(self, input_tokens: int, output_tokens: int) -> float:
        return (input_tokens * self.input + output_tokens * self.output) / 1000.0


@dataclass(frozen=True)
class PriceTable:
    """Prices by model name, and the date they are from."""

    date: str
    models: Mapping[str, Price]

    def price(self, model: str) -> Optional[Price]:
        """The price of ``model``: its own, else that of the longest family name it starts
        with (followed by "-"), else None (unknown)."""
        if model in self.models:
            return self.models[model]
        best = None
        for name in self.models:
            if model.startswith(name + "-") and (best is None or len(name) > len(best)):
                best = name
        return self.models[best] if best is not None else None

    def with_file(self, path: str) -> "PriceTable":
        """This table with the prices of the JSON file at ``path`` laid over it."""
        data = _read(path)
        date, entries = _shape(data, path)
        models = dict(self.models)
        for model, entry in entries.items():
            where = f"{path}: model {model!r}"
            if not isinstance(entry, dict):
                raise PriceError(f'{where}: expected an object with "input" and "output", got {_kind(entry)}')
            extra = sorted(set(entry) - set(_FIELDS))
            if extra:
                raise PriceError(f'{where}: unknown field {extra[0]!r} (a price has "input" and "output")')
            figures = {key: _figure(entry[key], f"{where}, field {key!r}") for key in _FIELDS if key in entry}
            known = self.price(model)
            if known is None and len(figures) < 2:
                missing = next(key for key in _FIELDS if key not in figures)
                raise PriceError(
                    f'{where} is not in the price table of {self.date}: it needs both "input" and "output" '
                    f"(field {missing!r} is missing)"
                )
            base = known or Price(0.0, 0.0)
            models[model] = Price(figures.get("input", base.input), figures.get("output", base.output))
        return PriceTable(date or self.date, models)


def builtin_prices() -> PriceTable:
    """The price table shipped with tavrin."""
    data = _read(str(_BUILTIN))
    date, entries = _shape(data, str(_BUILTIN))
    models = {name: Price(_figure(e["input"], name), _figure(e["output"], name)) for name, e in entries.items()}
    return PriceTable(date or "unknown", models)


def _read(path: str) -> Any:
    try:
        text = Path(path).read_text(encoding="utf-8")
    except IsADirectoryError as exc:
        raise PriceError(f"{path}: is a directory, not a price file") from exc
    except OSError as exc:
        raise PriceError(f"{path}: cannot read the price file: {exc.strerror or exc}") from exc
    except UnicodeDecodeError as exc:
        raise PriceError(f"{path}: not UTF-8 text") from exc
    try:
        return json.loads(text)
    except json.JSONDecodeError as exc:
        raise PriceError(f"{path}: invalid JSON at line {exc.lineno}, column {exc.colno}: {exc.msg}") from exc


def _shape(data: Any, path: str) -> "tuple[Optional[str], Dict[str, Any]]":
    """The date and the model entries of a price file's JSON."""
    if not isinstance(data, dict):
        raise PriceError(f'{path}: expected an object with "date" and "models", got {_kind(data)}')
    date = data.get("date")
    if date is not None and not isinstance(date, str):
        raise PriceError(f"{path}: field 'date' must be a string, got {_kind(date)}")
    models = data.get("models")
    if not isinstance(models, dict):
        raise PriceError(f"{path}: field 'models' must be an object of model names, got {_kind(models)}")
    return date, models


def _figure(value: Any, where: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) or value < 0:
        raise PriceError(f"{where}: a price must be a number of US dollars >= 0, got {json.dumps(value)}")
    return float(value)


def _kind(value: Any) -> str:
    if value is None:
        return "null"
    return {dict: "an object", list: "an array", str: "a string", bool: "a boolean"}.get(type(value), "a number")

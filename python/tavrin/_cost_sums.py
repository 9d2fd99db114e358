"""Sums of costs: a run's figures added to the earlier runs', and reports merged into one."""

from typing import Any, Dict, List, Optional


def _round(value: float) -> float:
    return round(value, 8)


def merged_costs(costs: List[Optional[Dict[str, Any]]]) -> Optional[Dict[str, Any]]:
    """The ``cost`` of reports merged into one: their figures added up, by model and by
    subject; None unless every report holds a cost (a part without one is not free)."""
    if not costs or any(not isinstance(cost, dict) for cost in costs):
        return None
    models: Dict[str, Any] = {}
    subjects: Dict[str, Optional[float]] = {}
    for cost in costs:
        assert cost is not None
        now = {name: entry for name, entry in (cost.get("models") or {}).items() if isinstance(entry, dict)}
        models = _merged(models, {name: {**{k: 0 for k in _COUNTS}, **entry} for name, entry in now.items()})
        subjects = _merged_usd(subjects, cost.get("subjects") or {})
    unknown = sorted(m for m, entry in models.items() if entry.get("usd") is None)
    dates = sorted({str(cost.get("prices_date")) for cost in costs if cost and cost.get("prices_date")})
    return {
        "usd": None if unknown else _round(sum(entry["usd"] for entry in models.values())),
        "prices_date": ", ".join(dates) or None,
        "models": models,
        "subjects": subjects,
        "unknown_models": unknown,
    }


_COUNTS = ("requests", "prompt_tokens", "completion_tokens")


def _merged(base: Any, now: Dict[str, Any]) -> Dict[str, Any]:
    out: Dict[str, Any] = {}
    for name, entry in (base or {}).items():
        if isinstance(entry, dict):
            out[name] = dict(entry)
    for name, entry in now.items():
        if name not in out:
            out[name] = entry
            continue
        old = out[name]
        for key in _COUNTS:
            old[key] = int(old.get(key) or 0) + int(entry.get(key) or 0)
        old["usd"] = None if old.get("usd") is None or entry["usd"] is None else _round(old["usd"] + entry["usd"])
    return out


def _merged_usd(base: Any, now: Dict[str, Optional[float]]) -> Dict[str, Optional[float]]:
    out: Dict[str, Optional[float]] = dict(base or {}) if isinstance(base, dict) else {}
    for name, value in now.items():
        if name in out:
            old = out[name]
            out[name] = None if old is None or value is None else _round(old + value)
        else:
            out[name] = None if value is None else _round(value)
    return out

"""Juries: every judgement of a judge evaluator made once per judge model, and what the
judges' verdicts say together.

- ``JuryEvaluator`` wraps an evaluator: its ``evaluate`` runs once per judge of the jury,
  each run asking one judge model (``judge_model.judging_with``), and returns the jury's
  verdict (``JuryVerdict``) with a reason that names every vote. The record made of it keeps
  the jury's value as its ``value`` and each judge's verdict and reason as its ``judges``.
  An evaluator that asks no judge's program on its first run (ExactMatch, say) is no judge:
  its result is taken as it is, once.
- The jury's verdict (``jury_value``): for yes/no verdicts the majority, a tie counting as
  no (False); for ratings the median (on an even jury the mean of the middle two); for
  anything else the value more than half the judges gave, else None.
- ``jury_summary``: per subject and evaluator judged by a jury, each judge's rate (or mean
  rating), the jury's, Fleiss' kappa of the judges with a 95% bootstrap interval over the
  cases (seeded: the same report gives the same interval), and Cohen's kappa of every pair
  of judges with its large-sample interval. Ratings are categories to both kappas (nominal
  agreement). Cases where a judge's verdict is not of the cell's kind take no part.
- ``judges_as_reports``: a jury's report as one report per judge and one of the jury, for
  comparing each with human labels.
"""

from __future__ import annotations

import dataclasses
import statistics
from collections import Counter
from itertools import combinations
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

from tavrin.evaluation.qa.evaluator.base import EvalResult
from tavrin.evaluation.qa.report.record import EvalRecord, JuryVerdict
from tavrin.evaluation.qa.stats import cell_kind, cell_text, is_finite_number
from tavrin.evaluation.statistics import cohen_kappa, fleiss_kappa

if TYPE_CHECKING:
    from tavrin.evaluation.qa.evaluator.judge_model import Judge
    from tavrin.evaluation.qa.report.model import Report

__all__ = [
    "JuryEvaluator",
    "empanel",
    "judges_as_reports",
    "jury_markdown",
    "jury_models",
    "jury_summary",
    "jury_text",
    "jury_value",
]


def jury_value(values: Sequence[Any]) -> Any:
    """The jury's verdict of the judges' ``values`` (see the module text)."""
    kind = cell_kind(list(values))
    if kind == "yes_no":
        return sum(values) * 2 > len(values)
    if kind == "rating":
        median = statistics.median(values)
        return int(median) if float(median).is_integer() and all(isinstance(v, int) for v in values) else median
    for value, count in Counter(_hashable(v) for v in values).most_common(1):
        if count * 2 > len(values):
            return next(v for v in values if _hashable(v) == value)
    return None


def _hashable(value: Any) -> Any:
    try:
        hash(value)
    except TypeError:
        return repr(value)
    return value


def _reason(ballots: List[Dict[str, Any]], value: Any) -> str:
    values = [b["value"] for b in ballots]
    kind = cell_kind(values)
    if kind == "yes_no" and sum(values) * 2 == len(values):
        head = "tied (a tie is False)"
    elif kind == "rating":
        head = f"median {value}"
    else:
        head = f"majority {value}"
    votes = ", ".join(f"{b['model']} {b['value']}" for b in ballots)
    return f"jury of {len(ballots)} judges, {head}: {votes}"


class JuryEvaluator:
    """An evaluator whose judgements are made by each judge of a jury in turn (see the module
    text); everything but ``evaluate`` is the wrapped evaluator's."""

    def __init__(self, evaluator: Any, judges: Sequence["Judge"]) -> None:
        self.evaluator = evaluator
        self.judges = list(judges)

    def __getattr__(self, name: str) -> Any:
        return getattr(self.evaluator, name)

    def evaluate(self, prediction: Optional[str], case: Any) -> Any:
        """The jury's verdict on ``prediction``: one judgement per judge, then the vote."""
        from tavrin.evaluation.qa.evaluator.judge_model import judging_with

        ballots = []
        for judge in self.judges:
            with judging_with(judge) as turn:
                result = self.evaluator.evaluate(prediction, case)
            if not turn.asked:  # no judge was asked: the result is the evaluator's own
                return result
            ballots.append({"model": judge.model, "value": result.value, "reason": result.reason})
        value = jury_value([b["value"] for b in ballots])
        return EvalResult(JuryVerdict(value, ballots), _reason(ballots, value))


def empanel(evaluation: Any, judges: Sequence["Judge"]) -> None:
    """Have ``evaluation``'s evaluators judge with the jury ``judges`` (in place)."""
    evaluators = evaluation._evaluators
    for name, evaluator in list(evaluators.items()):
        if not isinstance(evaluator, JuryEvaluator):
            evaluators[name] = JuryEvaluator(evaluator, judges)


def jury_models(report: "Report") -> Optional[List[str]]:
    """The judge models of ``report``'s jury: as the report names them, else as its records
    do (a report rebuilt from a killed run's journal); None for a report of one judge."""
    if report.judge_models:
        return list(report.judge_models)
    for record in report.records:
        if record.judges:
            return [str(judge.get("model")) for judge in record.judges]
    return None


# ---------------------------------------------------------------- the summary


def jury_summary(report: "Report") -> List[Dict[str, Any]]:
    """The jury's figures, one entry per subject and evaluator judged by a jury (empty for a
    report of one judge): ``subject``, ``evaluator``, ``kind``, ``cases`` (the cases that
    take part), ``judges`` (per judge: ``model``, ``estimate``, ``text``), ``majority``
    (``estimate``, ``text``), ``fleiss_kappa`` with ``fleiss_interval`` and ``cohen`` (per
    pair: ``judges``, ``kappa``, ``interval``)."""
    cells: Dict[Tuple[str, str], List[EvalRecord]] = {}
    for record in report.records:
        if record.judges:
            cells.setdefault((record.subject, record.evaluator), []).append(record)
    return [entry for (s, e), records in cells.items() if (entry := _cell(s, e, records)) is not None]


def _cell(subject: str, evaluator: str, records: List[EvalRecord]) -> Optional[Dict[str, Any]]:
    models = [str(j.get("model")) for j in records[0].judges or []]
    rows = [
        (r.value, [j.get("value") for j in r.judges or []])
        for r in records
        if [str(j.get("model")) for j in r.judges or []] == models
    ]
    kind = cell_kind([v for _, votes in rows for v in votes])
    if kind == "other":  # verdicts of mixed kinds: the cases of the yes/no ones, if any, else the ratings
        kind = "yes_no" if any(isinstance(v, bool) for _, votes in rows for v in votes) else "rating"
    rows = [(value, votes) for value, votes in rows if _of_kind(votes, kind)]
    if len(models) < 2 or not rows:
        return None
    columns = list(zip(*(votes for _, votes in rows)))
    majority = [value for value, _ in rows]
    categories = sorted({_category(v) for votes in columns for v in votes})
    counts = [[[_category(v) for v in votes].count(c) for c in categories] for _, votes in rows]
    kappa, interval = fleiss_kappa(counts)
    return {
        "subject": subject,
        "evaluator": evaluator,
        "kind": kind,
        "cases": len(rows),
        "judges": [_figures(list(column), model=model) for model, column in zip(models, columns)],
        "majority": _figures(majority),
        "fleiss_kappa": kappa,
        "fleiss_interval": interval.to_dict() if interval is not None else None,
        "cohen": [_pair(models, columns, i, j, categories) for i, j in combinations(range(len(models)), 2)],
    }


def _of_kind(votes: List[Any], kind: str) -> bool:
    return all(isinstance(v, bool) if kind == "yes_no" else is_finite_number(v) for v in votes)


def _category(value: Any) -> Any:
    return value if isinstance(value, bool) else float(value)


def _figures(values: List[Any], **more: Any) -> Dict[str, Any]:
    numbers = [float(v) for v in values if is_finite_number(v) or isinstance(v, bool)]
    estimate = round(statistics.fmean(numbers), 4) if numbers else None
    return {**more, "estimate": estimate, "text": cell_text(values)}


def _pair(models: List[str], columns: List[Any], i: int, j: int, categories: List[Any]) -> Dict[str, Any]:
    position = {c: k for k, c in enumerate(categories)}
    table = [[0] * len(categories) for _ in categories]
    for a, b in zip(columns[i], columns[j]):
        table[position[_category(a)]][position[_category(b)]] += 1
    kappa, interval = cohen_kappa(table)
    return {
        "judges": [models[i], models[j]],
        "kappa": kappa,
        "interval": interval.to_dict() if interval is not None else None,
    }


def _kappa(kappa: Optional[float], interval: Optional[Dict[str, Any]]) -> str:
    if kappa is None:
        return "undefined (every verdict alike)"
    text = f"{kappa:.2f}"
    if interval is not None:
        text += f" (95% CI {interval['low']:.2f} to {interval['high']:.2f})"
    return text


def _lines(entry: Dict[str, Any]) -> List[str]:
    what = "rate" if entry["kind"] == "yes_no" else "mean rating"
    lines = [f"Jury: {entry['subject']} by {entry['evaluator']}, {entry['cases']} case(s), each judge's {what}:"]
    lines += [f"  {judge['model']}: {judge['text']}" for judge in entry["judges"]]
    lines.append(f"  majority: {entry['majority']['text']}")
    lines.append(f"  Fleiss' kappa: {_kappa(entry['fleiss_kappa'], entry['fleiss_interval'])}")
    lines += [
        f"  Cohen's kappa, {pair['judges'][0]} and {pair['judges'][1]}: {_kappa(pair['kappa'], pair['interval'])}"
        for pair in entry["cohen"]
    ]
    return lines


def jury_text(entries: List[Dict[str, Any]]) -> str:
    """The jury's figures as plain lines for the console ("" without a jury)."""
    return "\n".join(line for entry in entries for line in _lines(entry))


def jury_markdown(entries: List[Dict[str, Any]], escape: Any) -> List[str]:
    """The jury's figures as Markdown lines (none without a jury); ``escape`` makes text literal."""
    if not entries:
        return []
    out = ["## Jury", ""]
    for entry in entries:
        first, *rest = _lines(entry)
        out += [escape(first), ""] + [f"- {escape(line.strip())}" for line in rest] + [""]
    return out


# ---------------------------------------------------------------- each judge as a report


def judges_as_reports(report: "Report", name: str) -> List[Tuple["Report", str]]:
    """``report`` with every jury judgement as one judge gave it, one report per judge
    (named "NAME [MODEL]"), then the jury's own ("NAME [majority]"); a report of one
    judge is itself alone."""
    models = jury_models(report)
    if not models:
        return [(report, name)]
    out = []
    for index, model in enumerate(models):
        records = [_as_judged_by(record, index, model) for record in report.records]
        out.append((dataclasses.replace(report, records=records), f"{name} [{model}]"))
    out.append((report, f"{name} [majority]"))
    return out


def _as_judged_by(record: EvalRecord, index: int, model: str) -> EvalRecord:
    judges = record.judges or []
    if index < len(judges) and judges[index].get("model") == model:
        return dataclasses.replace(record, value=judges[index].get("value"), reason=judges[index].get("reason"))
    return record

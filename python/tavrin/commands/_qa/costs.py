"""The cost of a QA run on the command line: ``--cost``, ``--prices``, ``--max-cost`` and
``evaluate --dry-run``.

The options keep what they were given in the command's context (``ctx.meta``), so the
commands' own parameters stay as they are. A run counts its cost only when one of them is
given, or when it resumes a report that holds a cost: the report then gets a ``cost``
field and the summary a cost block. Everything else a run prints and writes is unchanged.
"""

from __future__ import annotations

import math
import tempfile
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Tuple

import click

from tavrin import _costs, _prices
from tavrin.commands._qa.common import Fail
from tavrin.commands._qa.summary import Progress
from tavrin.evaluation.qa.run import RunObserver

_META = "tavrin.cost"


@dataclass
class CostRequest:
    """What the cost options of one command asked for."""

    count: bool = False
    prices_path: Optional[str] = None
    prices: Optional[_prices.PriceTable] = None
    max_cost: Optional[float] = None
    dry_run: bool = False

    @property
    def wanted(self) -> bool:
        return self.count or self.prices_path is not None or self.max_cost is not None


def _request() -> CostRequest:
    ctx = click.get_current_context(silent=True)
    if ctx is None:
        return CostRequest()
    return ctx.find_root().meta.setdefault(_META, CostRequest())


def _keep(name: str) -> Callable[[click.Context, click.Parameter, Any], None]:
    def keep(ctx: click.Context, param: click.Parameter, value: Any) -> None:
        if value is not None and value is not False:
            setattr(ctx.find_root().meta.setdefault(_META, CostRequest()), name, value)

    return keep


def _price_file(ctx: click.Context, param: click.Parameter, value: Optional[str]) -> None:
    """Read ``--prices`` at once: a bad file stops the command before it touches anything."""
    if value is not None:
        _keep("prices_path")(ctx, param, value)
        _keep("prices")(ctx, param, _prices_table(value))


def _budget(ctx: click.Context, param: click.Parameter, value: Optional[str]) -> None:
    if value is None:
        return
    try:
        cap = float(value)
    except ValueError:
        cap = math.nan
    if not math.isfinite(cap) or cap < 0:
        raise Fail(f"--max-cost must be a number of US dollars >= 0, got {value!r}")
    _keep("max_cost")(ctx, param, cap)


def cost_options(function: Callable[..., Any]) -> Callable[..., Any]:
    """``--cost``, ``--prices`` and ``--max-cost``: kept in the context, not passed on."""
    options = [
        click.option(
            "--cost",
            is_flag=True,
            expose_value=False,
            callback=_keep("count"),
            help="Count what the run's model requests cost (USD), in the summary and the report.",
        ),
        click.option(
            "--prices",
            metavar="FILE",
            expose_value=False,
            callback=_price_file,
            help='Prices to use (JSON: {"date": ..., "models": {MODEL: {"input": USD, "output": USD}}} per '
            "1,000 tokens) over the shipped table; implies --cost.",
        ),
        click.option(
            "--max-cost",
            metavar="USD",
            expose_value=False,
            callback=_budget,
            help="Stop the run, resumable, before a model request could take its cost past USD (each request "
            f"counts at its answer limit; {_costs.DEFAULT_ANSWER_TOKENS} tokens where it sets none); "
            "implies --cost.",
        ),
    ]
    for option in reversed(options):
        function = option(function)
    return function


def dry_run_option(function: Callable[..., Any]) -> Callable[..., Any]:
    return click.option(
        "--dry-run",
        is_flag=True,
        expose_value=False,
        callback=_keep("dry_run"),
        help="Send nothing and write nothing: count the requests and prompt tokens the run would send, "
        "and estimate its cost.",
    )(function)


def dry_run_requested() -> bool:
    return _request().dry_run


def _prices_table(path: Optional[str]) -> _prices.PriceTable:
    try:
        table = _prices.builtin_prices()
        return table.with_file(path) if path else table
    except _prices.PriceError as exc:
        raise Fail(str(exc)) from exc


def begin(extras: Dict[str, Any]) -> Optional[_costs.Meter]:
    """The meter of a run about to start (None: its cost is not counted), made active.

    ``extras["cost"]``, a resumed report's cost, is where the count goes on from. A capped
    run refuses to start when the judges' model has no price.
    """
    request = _request()
    base = extras.get("cost")
    if not request.wanted and base is None:
        return None
    prices = request.prices or _prices_table(None)
    if request.max_cost is not None:
        judge = _judge_model()
        if judge is not None and prices.price(judge) is None:
            raise Fail(
                f"--max-cost: no price for the judge model {judge!r} (prices of {prices.date}); give one with --prices"
            )
    meter = _costs.Meter(prices, cap=request.max_cost, base=base if isinstance(base, dict) else None)
    _costs.activate(meter)
    return meter


def end() -> None:
    _costs.activate(None)


def _judge_model() -> Optional[str]:
    import sys

    conf = sys.modules.get("tavrin.evaluation.qa.evaluator.llm_helper.conf")
    llm = getattr(conf, "chat_gpt", None)
    return getattr(llm, "model_name", None) if llm is not None else None


def progress(quiet: bool, verbose: bool, finishing: Optional[Callable[[Any], None]] = None) -> Progress:
    """The run's progress observer (``finishing`` as ``Progress`` takes it): one that also
    charges costs when a meter is active."""
    meter = _costs.active()
    if meter is None:
        return Progress(quiet, verbose, finishing=finishing)
    return _CostProgress(meter, quiet, verbose, finishing)


class _CostProgress(Progress):
    """Charges what each judgement of a sequential run asked to its subject, and puts the
    run's cost in its report before it is written."""

    def __init__(
        self, meter: _costs.Meter, quiet: bool, verbose: bool, finishing: Optional[Callable[[Any], None]]
    ) -> None:
        super().__init__(quiet, verbose, finishing=finishing)
        self.meter = meter
        self.refused = 0

    def recorded(self, record: Any) -> None:
        self.meter.attribute(record.subject)
        super().recorded(record)

    def failed(self, error: BaseException) -> None:
        self.refused += isinstance(error, _costs.BudgetReached)
        super().failed(error)

    def alert(self, *args: Any, **kwargs: Any) -> None:
        # once the cap has stopped the run, the judgements in flight that it refuses too
        # are not named one by one
        text = str(args[0]) if args else ""
        if self.refused and text.lstrip("\n").startswith(("> Error when", ">>> Error when")):
            return
        super().alert(*args, **kwargs)

    def finishing(self, report: Any) -> None:
        stop = self.meter.stop_message()
        if stop is not None:
            # judgements the cap refused were not made: a resumed run makes them, so they are
            # no records (not even error records), and the run is one that stopped early
            report.records = [r for r in report.records if getattr(r, "error_msg", None) != stop]
            if not report.error_msg or report.error_msg.endswith(stop):
                report.error_msg = stop
        cost = self.meter.to_dict()
        subjects = cost["subjects"]
        order = [s for s in report.subjects if s in subjects] + [s for s in subjects if s not in report.subjects]
        cost["subjects"] = {s: subjects[s] for s in order}
        report.cost = cost
        cap = self.meter.cap
        if cap is not None and self.meter.spent() > cap:
            # every request reserved its worst case: the service answered past the limits it was sent
            click.secho(
                f"The run spent {_costs.usd(self.meter.spent())}, more than its cap of {_costs.usd(cap)}: the "
                "model service answered past the limits of its requests or counted their prompts higher.",
                fg="red",
                err=True,
            )
        super().finishing(report)


# ---------------------------------------------------------------- the summary


def cost_lines(cost: Dict[str, Any]) -> List[str]:
    """The summary's cost block: the run's total, then each subject's."""
    usd = _costs.usd
    cap = cost.get("max_usd")
    head = f"Cost (prices of {cost.get('prices_date', 'unknown')}): {usd(cost.get('usd'))}"
    if cap is not None:
        head += f" of at most {usd(cap)}"
    lines = [head]
    subjects = cost.get("subjects") or {}
    width = max((len(name) for name in subjects), default=0)
    lines += [f"  {name.ljust(width)}  {usd(value)}" for name, value in subjects.items()]
    unknown = cost.get("unknown_models") or []
    if unknown:
        lines.append(f"No price for {', '.join(unknown)}: give one with --prices")
    return lines


# ---------------------------------------------------------------- the dry run


class _DryObserver(RunObserver):
    """Says nothing; charges each judgement to its subject and keeps the failures."""

    def __init__(self, meter: _costs.Meter) -> None:
        super().__init__(False)
        self.meter = meter
        self.failures: List[str] = []

    def say(self, *args: Any, **kwargs: Any) -> None:
        pass

    def alert(self, *args: Any, **kwargs: Any) -> None:
        pass

    def recorded(self, record: Any) -> None:
        self.meter.attribute(record.subject)

    def failed(self, error: BaseException) -> None:
        self.failures.append(str(error) or type(error).__name__)


def dry_run(evaluation: Any) -> None:
    """Make ``evaluation``'s judgements with made-up answers, sending nothing, and print
    the requests, prompt tokens and worst-case cost they come to, by subject and model."""
    from tavrin.evaluation.qa import run as qa_run

    request = _request()
    meter = _costs.Meter(request.prices or _prices_table(None), dry=True)
    observer = _DryObserver(meter)
    before = _costs.activate(meter)
    try:
        with tempfile.TemporaryDirectory(prefix="tavrin-dry-run-") as folder:
            report = qa_run.run(evaluation, f"{folder}/dry-run.json", observer=observer)
    finally:
        _costs.activate(before)
    for line in _dry_table(meter, request.max_cost):
        click.echo(line)
    for subject in _unpredicted(report, evaluation):
        click.secho(f"{subject}: its requests could not be predicted", fg="yellow", err=True)
    if observer.failures:
        click.secho(
            f"{len(observer.failures)} judgement(s) failed in the dry run and are not counted; "
            f"the first: {observer.failures[0]}",
            fg="yellow",
            err=True,
        )


def _unpredicted(report: Any, evaluation: Any) -> List[str]:
    judged = {record.subject for record in report.records}
    return [name for name in evaluation._subjects if name not in judged]


def _dry_table(meter: _costs.Meter, cap: Optional[float]) -> List[str]:
    rows: List[Tuple[str, ...]] = [
        ("Subject", "Model", "Requests", "Prompt tokens", "Answer tokens (max)", "Cost (max)")
    ]
    totals: Dict[str, _costs.Tally] = {}
    for subject, models in meter.tallies().items():
        for model, tally in models.items():
            totals.setdefault(model, _costs.Tally()).add(tally)
            rows.append(
                (
                    subject or "-",
                    model,
                    str(tally.requests),
                    str(tally.prompt_tokens),
                    str(tally.answer_limit),
                    _costs.usd(meter.cost_of({model: tally}, worst=True)),
                )
            )
    whole = _costs.Tally()
    for tally in totals.values():
        whole.add(tally)
    worst = meter.cost_of(totals, worst=True)
    rows.append(
        ("Total", "", str(whole.requests), str(whole.prompt_tokens), str(whole.answer_limit), _costs.usd(worst))
    )
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = ["  ".join(value.ljust(widths[i]) for i, value in enumerate(row)).rstrip() for row in rows]
    lines.insert(1, "  ".join("-" * w for w in widths))
    lines.insert(0, "Dry run: nothing was sent and no report written (the judges' answer cache is not read).")
    lines.append(
        f"Prices of {meter.prices.date}; answers count at their limits "
        f"({_costs.DEFAULT_ANSWER_TOKENS} tokens where a request sets none)."
    )
    if cap is not None:
        fits = worst is not None and worst <= cap
        lines.append(f"--max-cost {_costs.usd(cap)}: the run {'fits' if fits else 'may stop early'}.")
    return lines

"""CI gates over reports, and JUnit XML for CI systems.

A gate ``EVALUATOR=RATE`` (every subject) or ``SUBJECT:EVALUATOR=RATE`` fails when a
subject's figure for that evaluator is under RATE: the share of true judgements for a
yes/no evaluator, the mean divided by 10 for a 0-10 rating evaluator (0.7 asks for a
mean of at least 7). RATE is a number from 0 to 1, or a percentage such as ``80%``. A
cell with nothing judged, or with values that are neither yes/no nor ratings, fails.

A gate ``--fail-on-error N`` (a count) or ``--fail-on-error P%`` (a share of the
report's judgements) fails when more judgements than that ended in an error.

Commands that check gates exit with ``GATE_FAILED`` (3) when one fails.
"""

import re
import xml.etree.ElementTree as ET
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Iterable, List, Optional, Sequence, Tuple

from tavrin.errors import GateError
from tavrin.evaluation.qa.stats import percent, summary_cells

if TYPE_CHECKING:
    from tavrin.evaluation.qa.report.model import Report

__all__ = [
    "GATE_FAILED",
    "Gate",
    "GateError",
    "GateResult",
    "ErrorLimit",
    "check_errors",
    "error_gate_case",
    "parse_error_limit",
    "JUnitCase",
    "check_gates",
    "check_names",
    "junit_xml",
    "parse_gate",
    "parse_gates",
    "report_cases",
]

#: The exit status of a command whose gate failed (1 is an error, 2 a usage error).
GATE_FAILED = 3


@dataclass(frozen=True)
class Gate:
    """``--fail-under [SUBJECT:]EVALUATOR=RATE``: ``subject`` None stands for every subject."""

    subject: Optional[str]
    evaluator: str
    rate: float
    text: str


@dataclass(frozen=True)
class GateResult:
    """How one gate fared on one subject of one report."""

    gate: Gate
    report: str
    subject: str
    passed: bool
    figure: Optional[float]
    message: str

    def to_dict(self) -> dict:
        """The result as a JSON-ready dictionary."""
        return {
            "gate": self.gate.text,
            "report": self.report,
            "subject": self.subject,
            "evaluator": self.gate.evaluator,
            "rate": self.gate.rate,
            "figure": self.figure,
            "passed": self.passed,
            "message": self.message,
        }


_RATE = re.compile(r"\s*([0-9]*\.?[0-9]+(?:[eE][-+]?[0-9]+)?)\s*(%?)\s*")


def parse_gate(text: str, option: str = "--fail-under") -> Gate:
    """The gate written as ``[SUBJECT:]EVALUATOR=RATE``; ``GateError`` says what is wrong."""
    where = f"{option} {text!r}"
    names, sep, rate_text = text.rpartition("=")
    if not sep or not names.strip():
        raise GateError(f"{where}: write EVALUATOR=RATE or SUBJECT:EVALUATOR=RATE, e.g. Correctness=0.8")
    subject, colon, evaluator = names.rpartition(":")
    if colon and not subject.strip():
        raise GateError(f"{where}: the subject before ':' is empty")
    if not evaluator.strip():
        raise GateError(f"{where}: the evaluator is empty")
    match = _RATE.fullmatch(rate_text)
    if match is None:
        raise GateError(f"{where}: RATE {rate_text!r} is not a number (write e.g. 0.8 or 80%)")
    rate = float(match.group(1)) / (100.0 if match.group(2) else 1.0)
    if not 0.0 <= rate <= 1.0:
        raise GateError(f"{where}: RATE must lie between 0 and 1 (or 0% and 100%), got {rate_text.strip()}")
    return Gate(subject.strip() if colon else None, evaluator.strip(), rate, text)


@dataclass(frozen=True)
class ErrorLimit:
    """``--fail-on-error N|P%``: at most ``count`` errors, or at most ``share`` (0 to 1) of
    the judgements; exactly one of the two is set."""

    count: Optional[int]
    share: Optional[float]
    text: str


_COUNT = re.compile(r"\s*([0-9]+)\s*")


def parse_error_limit(text: str, option: str = "--fail-on-error") -> ErrorLimit:
    """The limit written as a count ``N`` or a percentage ``P%``; ``GateError`` says what is wrong."""
    where = f"{option} {text!r}"
    if text.strip().endswith("%"):
        match = _RATE.fullmatch(text)
        if match is None or not match.group(2):
            raise GateError(f"{where}: write a count of errors, e.g. 3, or a share of the judgements, e.g. 5%")
        share = float(match.group(1)) / 100.0
        if share > 1.0:
            raise GateError(f"{where}: the share must lie between 0% and 100%")
        return ErrorLimit(None, share, text)
    match = _COUNT.fullmatch(text)
    if match is None:
        raise GateError(f"{where}: write a count of errors, e.g. 3, or a share of the judgements, e.g. 5%")
    return ErrorLimit(int(match.group(1)), None, text)


def check_errors(limit: ErrorLimit, report: "Report", label: str) -> Tuple[bool, str]:
    """Whether ``report`` (named ``label``) stays within ``limit``, and the line that says so."""
    total = len(report.records)
    errors = sum(1 for record in report.records if record.error_msg)
    if limit.count is not None:
        passed = errors <= limit.count
        wanted = f"{limit.count}"
    else:
        assert limit.share is not None
        passed = errors <= limit.share * total + 1e-9
        wanted = f"{limit.share * 100:g}% of them"
    shown = f"{errors} error(s) in {total} judgement(s)" + (f" ({percent(errors / total)})" if total else "")
    relation = "<=" if passed else ">"
    return passed, f"{label}: {shown} {relation} {wanted} (--fail-on-error {limit.text})"


def parse_gates(texts: Iterable[str], option: str = "--fail-under") -> List[Gate]:
    """Every gate of a repeated option."""
    return [parse_gate(text, option) for text in texts]


def check_names(gates: Sequence[Gate], subjects: Sequence[str], evaluators: Sequence[str], where: str) -> None:
    """Refuse gates that name an evaluator or subject that ``where`` (a run or report) lacks."""
    for gate in gates:
        if gate.evaluator not in evaluators:
            raise GateError(
                f"--fail-under {gate.text!r}: {where} has no evaluator {gate.evaluator!r} "
                f"(it has {', '.join(evaluators) or 'none'})"
            )
        if gate.subject is not None and gate.subject not in subjects:
            raise GateError(
                f"--fail-under {gate.text!r}: {where} has no subject {gate.subject!r} "
                f"(it has {', '.join(subjects) or 'none'})"
            )


def check_gates(gates: Sequence[Gate], report: "Report", label: str) -> List[GateResult]:
    """Every gate on every subject it covers in ``report`` (named ``label`` in messages)."""
    cells = summary_cells(report)
    results = []
    for gate in gates:
        for cell in cells:
            if cell.evaluator != gate.evaluator or (gate.subject is not None and cell.subject != gate.subject):
                continue
            head = f"{label}: {cell.subject} by {cell.evaluator}"
            if cell.n == 0:
                results.append(GateResult(gate, label, cell.subject, False, None, f"{head}: nothing judged"))
                continue
            assert cell.estimate is not None  # a cell with judgements has an estimate
            if cell.kind == "yes_no":
                figure, shown, wanted = cell.estimate, percent(cell.estimate), percent(gate.rate)
            elif cell.kind == "rating":
                figure = cell.estimate / 10.0
                shown, wanted = f"mean {cell.estimate:g}", f"{gate.rate * 10:g}"
            else:
                results.append(
                    GateResult(
                        gate, label, cell.subject, False, None, f"{head}: values are neither yes/no nor 0-10 ratings"
                    )
                )
                continue
            passed = figure >= gate.rate - 1e-12
            relation = ">=" if passed else "<"
            results.append(
                GateResult(
                    gate,
                    label,
                    cell.subject,
                    passed,
                    figure,
                    f"{head}: {shown} {relation} {wanted} (--fail-under {gate.text})",
                )
            )
    return results


# ---------------------------------------------------------------- JUnit XML


@dataclass(frozen=True)
class JUnitCase:
    """One ``<testcase>``: ``failure``/``error`` are (message, text) when it did not pass."""

    classname: str
    name: str
    failure: Optional[Tuple[str, str]] = None
    error: Optional[Tuple[str, str]] = None
    output: str = ""


# characters XML 1.0 cannot hold at all (control characters other than tab, newline, return)
_NOT_XML = re.compile("[^\u0009\u000a\u000d\u0020-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")


def _xml_text(value: Any) -> str:
    return _NOT_XML.sub("\ufffd", "" if value is None else str(value))


def junit_xml(suites: Sequence[Tuple[str, Sequence[JUnitCase]]]) -> str:
    """A JUnit XML document of ``(suite name, cases)``; every text is escaped, and characters
    XML cannot hold become U+FFFD."""
    root = ET.Element("testsuites")
    totals = [0, 0, 0]
    for suite_name, cases in suites:
        failures = sum(case.failure is not None for case in cases)
        errors = sum(case.error is not None for case in cases)
        suite = ET.SubElement(
            root,
            "testsuite",
            name=_xml_text(suite_name),
            tests=str(len(cases)),
            failures=str(failures),
            errors=str(errors),
            skipped="0",
        )
        totals = [totals[0] + len(cases), totals[1] + failures, totals[2] + errors]
        for case in cases:
            element = ET.SubElement(suite, "testcase", classname=_xml_text(case.classname), name=_xml_text(case.name))
            for tag, outcome in (("failure", case.failure), ("error", case.error)):
                if outcome is not None:
                    child = ET.SubElement(element, tag, message=_xml_text(outcome[0]))
                    child.text = _xml_text(outcome[1])
            if case.output:
                ET.SubElement(element, "system-out").text = _xml_text(case.output)
    root.set("tests", str(totals[0]))
    root.set("failures", str(totals[1]))
    root.set("errors", str(totals[2]))
    ET.indent(root)
    return '<?xml version="1.0" encoding="UTF-8"?>\n' + ET.tostring(root, encoding="unicode") + "\n"


def gate_cases(results: Sequence[GateResult]) -> List[JUnitCase]:
    """One test case per gate and subject: failed when the gate failed."""
    return [
        JUnitCase(
            classname="gates",
            name=f"{r.gate.text} [{r.report}: {r.subject}]",
            failure=None if r.passed else ("gate failed", r.message),
            output=r.message,
        )
        for r in results
    ]


def error_gate_case(limit: ErrorLimit, label: str, passed: bool, message: str) -> JUnitCase:
    """The test case of ``--fail-on-error``: failed when the gate failed."""
    return JUnitCase(
        classname="gates",
        name=f"--fail-on-error {limit.text} [{label}]",
        failure=None if passed else ("gate failed", message),
        output=message,
    )


def _short(value: Any, limit: int = 80) -> str:
    text = " ".join(str(value).split())
    return text if len(text) <= limit else text[: limit - 1] + "…"


def report_cases(report: "Report", label: str) -> List[Tuple[str, List[JUnitCase]]]:
    """One suite per subject x evaluator of ``report``, one test case per judgement: a yes/no
    judgement of false is a failure (so CI lists the cases judged wrong); a judgement that
    ended in an error is an error case; ratings and other values pass and show their value.
    A run that stopped early adds an error case."""
    suites: dict = {}
    for record in report.records:
        value = record.value
        details = (
            f"question: {record.question}\nreference: {record.expected}\nanswer: {record.prediction}\n"
            f"value: {value}\nreason: {record.reason}"
        )
        if record.error_msg:
            details += f"\nerror: {record.error_msg}"
        case = JUnitCase(
            classname=f"{record.subject}.{record.evaluator}",
            name=f"case {record.case_id}: {_short(record.question)}",
            failure=("judged false", details) if value is False else None,
            error=(record.error_msg, details) if record.error_msg else None,
            output=details,
        )
        suites.setdefault(f"{label}: {record.subject} by {record.evaluator}", []).append(case)
    out = list(suites.items())
    if report.error_msg:
        out.append(
            (
                f"{label}: run",
                [
                    JUnitCase(
                        classname="run", name="the run finished", error=("the run stopped early", report.error_msg)
                    )
                ],
            )
        )
    return out

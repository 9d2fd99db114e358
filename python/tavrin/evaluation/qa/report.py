"""Evaluation records and the report that holds them, saved as JSON and rendered as Markdown."""

import contextlib
import json
import math
import re
import uuid
import warnings
from dataclasses import dataclass, field
from os import PathLike
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional, Tuple, Union

from tavrin._outputs import atomic_write_text

REPORT_FORMAT = "tavrin-qa-report"
REPORT_VERSION = 1
JOURNAL_FORMAT = "tavrin-qa-journal"
JOURNAL_SUFFIX = ".journal"

_ID_NAMESPACE = uuid.UUID("6f1d3c52-8f0e-4a55-9d4b-2f7a0c1e5b93")

PathArg = Union[str, "PathLike[str]"]


class ReportError(ValueError):
    """A report that cannot be read from, or written to, a JSON file."""


@dataclass(frozen=True, kw_only=True)
class EvalRecord:
    """One judgement: what a subject answered to a test case and what an evaluator made of it.

    ``id`` is derived from ``case_id``, ``question``, ``subject`` and ``evaluator`` (see
    ``gen_eval_record_id``), so a saved record tells a resumed run what is already done.
    """

    case_id: str
    question: str
    subject: str
    prediction: Optional[str]
    expected: Optional[str]
    documents: Optional[List[Any]]
    evaluator: str
    value: Any
    reason: Any
    id: str = field(init=False)

    def __post_init__(self) -> None:
        record_id = self.gen_eval_record_id(
            case_id=self.case_id, question=self.question, subject=self.subject, evaluator=self.evaluator
        )
        object.__setattr__(self, "id", record_id)

    def __hash__(self) -> int:
        return hash(self.id)

    @staticmethod
    def gen_eval_record_id(*, case_id: Any, question: Any, subject: Any, evaluator: Any) -> str:
        """Return the identifier of the judgement of ``subject`` by ``evaluator`` on a case.

        A UUID (version 5) as text, the same for the same four values on every run.
        """
        key = json.dumps([str(case_id), str(question), str(subject), str(evaluator)], ensure_ascii=False)
        return str(uuid.uuid5(_ID_NAMESPACE, key))

    def to_dict(self) -> Dict[str, Any]:
        """The record as a JSON-ready dictionary, ``id`` first."""
        return {
            "id": self.id,
            "case_id": self.case_id,
            "question": self.question,
            "subject": self.subject,
            "prediction": self.prediction,
            "expected": self.expected,
            "documents": self.documents,
            "evaluator": self.evaluator,
            "value": self.value,
            "reason": self.reason,
        }


@dataclass(kw_only=True)
class Report:
    """The outcome of an evaluation run: which subjects and evaluators ran on which test set,
    every record made, and the error that stopped the run early (empty when it finished)."""

    name: str
    date: str
    test_set_path: str
    subjects: List[str]
    evaluators: List[str]
    records: List[EvalRecord]
    description: str = ""
    error_msg: str = ""
    #: What the run asked of the model service, when it was counted: requests sent
    #: (retries included), retries, and tokens used. Reports without them load as None.
    requests: Optional[int] = None
    retries: Optional[int] = None
    tokens: Optional[int] = None
    #: Where subjects and evaluators given as "module:Class" come from, by name, so that a
    #: resumed run finds them: {"subjects": {name: "module:Class"}, "evaluators": {...}}.
    classes: Optional[Dict[str, Dict[str, str]]] = None
    #: "K/N" when the run made only shard K of N of the question set's cases.
    shard: Optional[str] = None

    def to_dict(self) -> Dict[str, Any]:
        """The report as a JSON-ready dictionary."""
        data = self._core_dict()
        for key in ("requests", "retries", "tokens", "classes", "shard"):
            value = getattr(self, key)
            if value is not None:
                data[key] = value
        return data

    def _core_dict(self) -> Dict[str, Any]:
        return {
            "format": REPORT_FORMAT,
            "version": REPORT_VERSION,
            "name": self.name,
            "date": self.date,
            "test_set_path": self.test_set_path,
            "description": self.description,
            "error_msg": self.error_msg,
            "subjects": list(self.subjects),
            "evaluators": list(self.evaluators),
            "records": [record.to_dict() for record in self.records],
        }

    def dump_json(self, path: PathArg) -> None:
        """Write the report to ``path`` as UTF-8 JSON.

        The file is replaced atomically: on any failure the previous file at ``path`` is
        left as it was and no temporary file remains. A value that JSON cannot hold
        raises ``ReportError`` naming the record and field.
        """
        try:
            text = json.dumps(self.to_dict(), indent=2, ensure_ascii=False) + "\n"
        except (TypeError, ValueError) as exc:
            raise ReportError(f"{path}: cannot write report: {self._unserialisable()}: {exc}") from exc
        atomic_write_text(path, text)

    def _unserialisable(self) -> str:
        for index, record in enumerate(self.records):
            for key, value in record.to_dict().items():
                try:
                    json.dumps(value)
                except (TypeError, ValueError):
                    return f"record {index}, field {key!r} is not JSON-serialisable"
        return "a report field is not JSON-serialisable"

    @classmethod
    def load_json(cls, path: PathArg) -> "Report":
        """Read a report written by ``dump_json``.

        Raises ``FileNotFoundError`` for a missing file and ``ReportError`` naming the file
        and the offending field or record for anything else that is wrong with it.
        """
        source = Path(path)
        journal = journal_path(source)
        if not source.exists() and journal.exists():
            return cls._from_journal(journal)
        report = cls._load_report(source)
        if journal.exists():
            header, records = read_journal(journal)
            report.records = _merged(report.records, records)
        return report

    @classmethod
    def _from_journal(cls, journal: Path) -> "Report":
        """The report of a run that was killed before it wrote one, rebuilt from its journal."""
        header, records = read_journal(journal)
        if header is None:
            raise ReportError(f"{journal}: empty journal: the run was stopped before it judged anything")
        where = f"{journal}: header"
        return cls(
            **_run_fields(header, where),
            records=records,
            description=_get(header, "description", (str,), where),
            error_msg="The run was killed; its records were recovered from the journal",
        )

    @classmethod
    def _load_report(cls, source: Path) -> "Report":
        try:
            data = json.loads(source.read_text(encoding="utf-8"))
        except UnicodeDecodeError as exc:
            raise ReportError(f"{source}: not UTF-8 text ({exc})") from exc
        except json.JSONDecodeError as exc:
            raise ReportError(
                f"{source}: invalid or truncated JSON at line {exc.lineno}, column {exc.colno}: {exc.msg}"
            ) from exc
        where = str(source)
        if not isinstance(data, dict):
            raise ReportError(f"{where}: expected a JSON object, got {_json_type(data)}")
        if data.get("format") != REPORT_FORMAT:
            raise ReportError(f"{where}: not a tavrin QA report (field 'format' is not {REPORT_FORMAT!r})")
        version = _get(data, "version", (int,), where)
        if version != REPORT_VERSION:
            raise ReportError(f"{where}: unsupported report version {version!r} (expected {REPORT_VERSION})")
        raw_records = _get(data, "records", (list,), where)
        report = cls(
            **_run_fields(data, where),
            records=[_record_from_dict(raw, f"{where}: record {i}") for i, raw in enumerate(raw_records)],
            description=_get(data, "description", (str,), where),
            error_msg=_get(data, "error_msg", (str,), where),
        )
        for key in ("requests", "retries", "tokens"):
            if data.get(key) is not None:
                value = _get(data, key, (int,), where)
                if value < 0:
                    raise ReportError(f"{where}: field {key!r} must not be negative, got {value}")
                setattr(report, key, value)
        if data.get("classes") is not None:
            report.classes = _get_classes(data["classes"], where)
        if data.get("shard") is not None:
            report.shard = _get(data, "shard", (str,), where)
        return report

    @classmethod
    def open_journal(
        cls,
        json_path: PathArg,
        *,
        name: str,
        date: str,
        test_set_path: str,
        subjects: List[str],
        evaluators: List[str],
        description: str,
    ) -> "Journal":
        """Open (or continue) the journal of a run that will write its report to ``json_path``.

        Each record appended to the journal is on disk as soon as ``append`` returns, so a
        run killed without warning loses at most the judgement it was making. ``load_json``
        of ``json_path`` takes the journal's records as well, and rebuilds the report from
        the journal alone when the run was killed before writing any report.
        """
        header = {
            "format": JOURNAL_FORMAT, "version": REPORT_VERSION, "name": name, "date": date,
            "test_set_path": test_set_path, "subjects": list(subjects),
            "evaluators": list(evaluators), "description": description,
        }
        return Journal.open(journal_path(Path(json_path)), header)

    def dump_md(self, path: PathArg) -> None:
        """Write ``to_markdown()`` to ``path`` (UTF-8, replaced atomically like ``dump_json``)."""
        atomic_write_text(path, self.to_markdown())

    def to_markdown(self) -> str:
        """Render the report for people: a summary table of subjects by evaluators, then
        every case with its question, reference answer, answers and judgements."""
        out: List[str] = [f"# {_escape(self.name)}", ""]
        out.append(f"- **Date:** {_escape(self.date)}")
        out.append(f"- **Test set:** {_escape(self.test_set_path)}")
        out.append(f"- **Subjects:** {_escape(', '.join(self.subjects)) or '(none)'}")
        out.append(f"- **Evaluators:** {_escape(', '.join(self.evaluators)) or '(none)'}")
        out.append("")
        if self.description:
            out += [_escape(self.description), ""]
        if self.error_msg:
            lines = self.error_msg.splitlines() or [""]
            out.append(f"> **Run stopped early:** {_escape(lines[0])}")
            out += [f"> {_escape(line)}" if line else ">" for line in lines[1:]]
            out.append("")

        cases = _group_by_case(self.records)
        subjects = _ordered(self.subjects, (r.subject for r in self.records))
        evaluators = _ordered(self.evaluators, (r.evaluator for r in self.records))
        out += ["## Summary", ""]
        out += [f"{len(cases)} case(s), {len(self.records)} judgement(s).", ""]
        if subjects and evaluators:
            out.append(_row(["Subject", *evaluators]))
            out.append(_row(["---"] * (len(evaluators) + 1), escape=False))
            for subject in subjects:
                cells = [
                    _summarise([r.value for r in self.records if r.subject == subject and r.evaluator == e])
                    for e in evaluators
                ]
                out.append(_row([subject, *cells]))
            out.append("")

        if cases:
            out += ["## Cases", ""]
        for case_id, records in cases.items():
            first = records[0]
            out += [f"### Case {_escape(str(case_id))}", ""]
            out += ["**Question**", "", _quote(first.question), ""]
            out += ["**Reference answer**", "", _quote(first.expected), ""]
            for subject in _ordered([], (r.subject for r in records)):
                out += [f"#### {_escape(subject)}", ""]
                for prediction, documents, judged in _answers([r for r in records if r.subject == subject]):
                    out += [_quote(prediction), ""]
                    if documents:
                        out += ["References:", ""]
                        out += [f"- {_reference(doc)}" for doc in documents]
                        out.append("")
                    out.append(_row(["Evaluator", "Value", "Reason"]))
                    out.append(_row(["---"] * 3, escape=False))
                    out += [_row([r.evaluator, _value(r.value), _value(r.reason)]) for r in judged]
                    out.append("")
        return "\n".join(out)


def journal_path(json_path: PathArg) -> Path:
    """Where the journal of a run writing ``json_path`` lives: beside it, with ``.journal`` added."""
    path = Path(json_path)
    return path.with_name(path.name + JOURNAL_SUFFIX)


_append_listeners: List[Any] = []


@contextlib.contextmanager
def on_journal_append(callback: Any) -> Iterator[None]:
    """Within the block, ``callback(record)`` is called for every record a journal takes."""
    _append_listeners.append(callback)
    try:
        yield
    finally:
        _append_listeners.remove(callback)


class Journal:
    """An append-only log of a run's new records, one JSON object a line after a header line."""

    def __init__(self, path: Path, handle: Any) -> None:
        self.path = path
        self._handle = handle
        self._broken = False

    @classmethod
    def open(cls, path: Path, header: Dict[str, Any]) -> "Journal":
        _drop_partial_line(path)
        handle = open(path, "a", encoding="utf-8", newline="\n")
        try:
            if handle.tell() == 0:
                handle.write(json.dumps(header, ensure_ascii=False) + "\n")
                handle.flush()
        except BaseException:
            handle.close()
            raise
        return cls(path, handle)

    def append(self, record: "EvalRecord") -> None:
        """Write one record and hand it to the operating system before returning.

        Then tell the callbacks of ``on_journal_append`` (a progress bar, say).
        """
        if not self._broken and self._handle is not None:
            try:
                self._handle.write(json.dumps(record.to_dict(), ensure_ascii=False) + "\n")
                self._handle.flush()
            except (TypeError, ValueError, OSError) as exc:
                # The run goes on; its final report is written as usual.
                self._broken = True
                warnings.warn(f"{self.path}: journal stopped, records are kept in memory only: {exc}",
                              RuntimeWarning, stacklevel=2)
        for listener in list(_append_listeners):
            listener(record)

    def close(self) -> None:
        """Close the journal and keep the file (the report was not written)."""
        if self._handle is not None:
            self._handle.close()
            self._handle = None

    def discard(self) -> None:
        """Close and remove the journal: the report now holds every record."""
        self.close()
        try:
            self.path.unlink()
        except FileNotFoundError:
            pass


def _drop_partial_line(path: Path) -> None:
    """Cut a last line that a killed run left without its newline."""
    try:
        with open(path, "rb+") as handle:
            data = handle.read()
            if data and not data.endswith(b"\n"):
                handle.truncate(data.rfind(b"\n") + 1)
    except FileNotFoundError:
        pass


def read_journal(path: PathArg) -> Tuple[Optional[Dict[str, Any]], List["EvalRecord"]]:
    """The header and records of a journal.

    A last line cut short by a killed run is ignored (that record was in flight); any other
    bad line raises ``ReportError`` naming the file and line.
    """
    source = Path(path)
    try:
        lines = source.read_text(encoding="utf-8").split("\n")
    except UnicodeDecodeError as exc:
        raise ReportError(f"{source}: not UTF-8 text ({exc})") from exc
    numbered = [(n, line) for n, line in enumerate(lines, 1) if line.strip()]
    header: Optional[Dict[str, Any]] = None
    records: List[EvalRecord] = []
    for index, (lineno, line) in enumerate(numbered):
        try:
            raw = json.loads(line)
        except json.JSONDecodeError as exc:
            if lineno == len(lines):
                break  # no newline after it: the record in flight when the run was killed
            raise ReportError(f"{source}: line {lineno}: invalid JSON: {exc.msg}") from exc
        where = f"{source}: line {lineno}"
        if header is None and index == 0:
            if not isinstance(raw, dict) or raw.get("format") != JOURNAL_FORMAT:
                raise ReportError(f"{where}: not a tavrin QA journal (field 'format' is not {JOURNAL_FORMAT!r})")
            header = raw
            continue
        records.append(_record_from_dict(raw, where))
    return header, _merged([], records)


def _merged(records: List["EvalRecord"], more: List["EvalRecord"]) -> List["EvalRecord"]:
    """``records`` followed by the records of ``more`` whose id is new, in order."""
    seen = {r.id for r in records}
    out = list(records)
    for record in more:
        if record.id not in seen:
            seen.add(record.id)
            out.append(record)
    return out


_RECORD_TEXT_FIELDS = ("question", "subject", "evaluator")


def _record_from_dict(raw: Any, where: str) -> EvalRecord:
    if not isinstance(raw, dict):
        raise ReportError(f"{where}: expected an object, got {_json_type(raw)}")
    case_id = _get(raw, "case_id", (str, int), where)
    texts = {key: _get(raw, key, (str,), where) for key in _RECORD_TEXT_FIELDS}
    for key in ("value", "reason"):
        if key not in raw:
            raise ReportError(f"{where}: missing field {key!r}")
    record = EvalRecord(
        case_id=str(case_id),
        question=texts["question"],
        subject=texts["subject"],
        prediction=_get(raw, "prediction", (str, type(None)), where),
        expected=_get(raw, "expected", (str, type(None)), where),
        documents=_get(raw, "documents", (list, type(None)), where),
        evaluator=texts["evaluator"],
        value=raw["value"],
        reason=raw["reason"],
    )
    stored_id = raw.get("id", record.id)
    if stored_id != record.id:
        raise ReportError(
            f"{where}: field 'id' is {stored_id!r}, but the record's case, question, subject and "
            f"evaluator give {record.id!r}; the record was altered"
        )
    return record


def _get(obj: Dict[str, Any], key: str, types: Tuple[type, ...], where: str) -> Any:
    if key not in obj:
        raise ReportError(f"{where}: missing field {key!r}")
    value = obj[key]
    if not isinstance(value, types) or (isinstance(value, bool) and bool not in types):
        expected = " or ".join(_TYPE_NAMES[t] for t in types)
        raise ReportError(f"{where}: field {key!r} must be {expected}, got {_json_type(value)}")
    return value


def _get_names(obj: Dict[str, Any], key: str, where: str) -> List[str]:
    names = _get(obj, key, (list,), where)
    for index, name in enumerate(names):
        if not isinstance(name, str):
            raise ReportError(f"{where}: field {key!r}, entry {index} must be a string, got {_json_type(name)}")
    return list(names)


def _get_classes(raw: Any, where: str) -> Dict[str, Dict[str, str]]:
    if not isinstance(raw, dict):
        raise ReportError(f"{where}: field 'classes' must be an object, got {_json_type(raw)}")
    out: Dict[str, Dict[str, str]] = {}
    for kind in ("subjects", "evaluators"):
        table = raw.get(kind, {})
        if not isinstance(table, dict) or not all(isinstance(k, str) and isinstance(v, str) for k, v in table.items()):
            raise ReportError(f"{where}: field 'classes', entry {kind!r} must map names to \"module:Class\" strings")
        out[kind] = dict(table)
    return out


def _run_fields(obj: Dict[str, Any], where: str) -> Dict[str, Any]:
    """What a report and its journal's header both say of the run."""
    return {
        "name": _get(obj, "name", (str,), where),
        "date": _get(obj, "date", (str,), where),
        "test_set_path": _get(obj, "test_set_path", (str,), where),
        "subjects": _get_names(obj, "subjects", where),
        "evaluators": _get_names(obj, "evaluators", where),
    }


_TYPE_NAMES = {str: "a string", int: "an integer", list: "an array", type(None): "null"}


def _json_type(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, (int, float)):
        return "number"
    if isinstance(value, str):
        return "string"
    if isinstance(value, list):
        return "array"
    if isinstance(value, dict):
        return "object"
    return type(value).__name__


_MD_SPECIAL = re.compile(r"([\\`*_\[\]<>|#])")


def _escape(text: str) -> str:
    """Escape ``text`` so Markdown shows it literally."""
    return _MD_SPECIAL.sub(r"\\\1", text)


def _row(cells: List[str], escape: bool = True) -> str:
    if escape:
        cells = [_escape(cell).replace("\r\n", "\n").replace("\n", "<br>") for cell in cells]
    return "| " + " | ".join(cells) + " |"


def _quote(text: Optional[str]) -> str:
    """Show an answer (Markdown of its own) as a block quote, whatever its lines hold."""
    if text is None:
        return "> _No answer._"
    if not text.strip():
        return "> _Empty answer._"
    return "\n".join(f"> {line}" if line.strip() else ">" for line in text.splitlines())


def _value(value: Any) -> str:
    return "—" if value is None else format(value, "")


def _reference(doc: Any) -> str:
    if not isinstance(doc, dict):
        return _escape(str(doc))
    url = doc.get("url")
    label = doc.get("label") or url or json.dumps(doc, ensure_ascii=False, default=str)
    label = _escape(str(label))
    if not url:
        return label
    target = str(url).replace(" ", "%20").replace("(", "%28").replace(")", "%29")
    target = target.replace("<", "%3C").replace(">", "%3E")
    return f"[{label}]({target})"


def _summarise(values: List[Any]) -> str:
    """One summary cell: how many judgements, how many true, the mean of numeric values."""
    if not values:
        return "—"
    bools = [v for v in values if isinstance(v, bool)]
    numbers = [v for v in values if isinstance(v, (int, float)) and not isinstance(v, bool)]
    others = len(values) - len(bools) - len(numbers)
    true_part = f"{sum(bools)}/{len(bools)} true"
    mean_part = f"mean {_number(math.fsum(numbers) / len(numbers))}" if numbers else ""
    if len(bools) == len(values):
        return true_part
    if len(numbers) == len(values):
        return f"{mean_part} of {len(numbers)}"
    if others == len(values):
        return f"{others} judged"
    parts = []
    if bools:
        parts.append(true_part)
    if numbers:
        parts.append(f"{mean_part} of {len(numbers)}")
    if others:
        parts.append(f"{others} other")
    return f"{len(values)} judged: " + ", ".join(parts)


def _number(value: float) -> str:
    return format(round(value, 2), "g")


def _group_by_case(records: List[EvalRecord]) -> Dict[Any, List[EvalRecord]]:
    cases: Dict[Any, List[EvalRecord]] = {}
    for record in records:
        cases.setdefault(record.case_id, []).append(record)
    return cases


def _ordered(first: List[str], more: Any) -> List[str]:
    """``first`` followed by the names in ``more`` not yet seen, without duplicates."""
    return list(dict.fromkeys([*first, *more]))


def _answers(records: List[EvalRecord]) -> List[Tuple[Optional[str], Optional[List[Any]], List[EvalRecord]]]:
    """Group one subject's records of a case by the answer they judged, in record order."""
    groups: List[Tuple[Optional[str], Optional[List[Any]], List[EvalRecord]]] = []
    for record in records:
        if groups and groups[-1][0] == record.prediction and groups[-1][1] == record.documents:
            groups[-1][2].append(record)
        else:
            groups.append((record.prediction, record.documents, [record]))
    return groups


def summarise(report: Report, cases: Optional[List[Any]] = None) -> List[Dict[str, Any]]:
    """The figures of the report's summary table, one entry per subject and evaluator.

    Each entry holds ``subject``, ``evaluator``, ``judged`` (records), ``true`` (values that
    are True), ``yes_rate`` (true / boolean values, or None), ``mean`` (of numeric values, or
    None), ``text`` (the cell of the Markdown summary) and, when the question set's
    ``cases`` are given, ``missing``: judgements of those cases that the report lacks.
    """
    subjects = _ordered(report.subjects, (r.subject for r in report.records))
    evaluators = _ordered(report.evaluators, (r.evaluator for r in report.records))
    cells: Dict[Tuple[str, str], List[Any]] = {}
    for record in report.records:
        cells.setdefault((record.subject, record.evaluator), []).append(record)
    wanted = {str(c.id) for c in cases} if cases is not None else None
    out = []
    for subject in subjects:
        for evaluator in evaluators:
            records = cells.get((subject, evaluator), [])
            values = [r.value for r in records]
            bools = [v for v in values if isinstance(v, bool)]
            numbers = [v for v in values if isinstance(v, (int, float)) and not isinstance(v, bool)]
            entry: Dict[str, Any] = {
                "subject": subject,
                "evaluator": evaluator,
                "judged": len(values),
                "true": sum(bools),
                "yes_rate": round(sum(bools) / len(bools), 4) if bools else None,
                "mean": round(math.fsum(numbers) / len(numbers), 4) if numbers else None,
                "text": _summarise(values),
            }
            if wanted is not None:
                done = {str(r.case_id) for r in records}
                entry["missing"] = len(wanted - done)
            out.append(entry)
    return out

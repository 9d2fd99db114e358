"""The report of an evaluation run: the model, and its JSON file."""

import json
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, List, Optional

from tavrin import _json_text
from tavrin._outputs import atomic_write_text
from tavrin.evaluation.qa.report import markdown
from tavrin.evaluation.qa.report.journal import (
    Journal,
    journal_path,
    merged_over_errors,
    read_journal_usage,
    usage_of,
)
from tavrin.evaluation.qa.report.record import EvalRecord, PathArg, ReportError
from tavrin.evaluation.qa.report.schema import (
    REPORT_FORMAT,
    REPORT_VERSION,
    get_classes,
    get_field,
    get_names,
    json_type,
    record_from_dict,
    run_fields_from,
)


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
    #: The judge models of a run judged by a jury (two or more), in the jury's order.
    judge_models: Optional[List[str]] = None
    #: What the run's model requests cost, when it was asked for (``--cost``, ``--prices``,
    #: ``--max-cost``): {"usd", "prices_date", "models", "subjects", "unknown_models", ...}.
    cost: Optional[Dict[str, Any]] = None

    def to_dict(self) -> Dict[str, Any]:
        """The report as a JSON-ready dictionary."""
        data = self._core_dict()
        for key in ("requests", "retries", "tokens", "classes", "shard", "judge_models"):
            value = getattr(self, key)
            if value is not None:
                data[key] = value
        if self.cost is not None:
            data["cost"] = self.cost
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
            text = _json_text.dumps(self.to_dict(), indent=2) + "\n"
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
            # the records of a run killed outright, and what the model service was asked
            # for them: on disk in its journal only (a judgement made again after an
            # error takes the error record's place)
            header, records, usage = read_journal_usage(journal)
            known = {record.id for record in report.records if not record.error_msg}
            report.records = merged_over_errors(report.records, records)
            report._add_usage(usage_of([r for r in records if r.id not in known], usage))
        return report

    def _add_usage(self, usage: Dict[str, int]) -> None:
        if any(usage.values()):
            for key, value in usage.items():
                setattr(self, key, (getattr(self, key) or 0) + value)

    @classmethod
    def _from_journal(cls, journal: Path) -> "Report":
        """The report of a run that was killed before it wrote one, rebuilt from its journal."""
        header, records, usage = read_journal_usage(journal)
        if header is None:
            raise ReportError(f"{journal}: empty journal: the run was stopped before it judged anything")
        where = f"{journal}: header"
        report = cls(
            **run_fields_from(header, where),
            records=records,
            description=get_field(header, "description", (str,), where),
            error_msg="The run was killed; its records were recovered from the journal",
        )
        report._add_usage(usage_of(records, usage))
        return report

    @classmethod
    def _load_report(cls, source: Path) -> "Report":
        try:
            text = source.read_text(encoding="utf-8")
        except UnicodeDecodeError as exc:
            raise ReportError(f"{source}: not UTF-8 text ({exc})") from exc
        return cls.from_json_text(text, source)

    @classmethod
    def from_json_text(cls, text: str, source: PathArg) -> "Report":
        """The report that ``dump_json`` wrote as ``text`` (to ``source``, which errors name),
        as ``load_json`` would read it, without a journal."""
        try:
            data = _json_text.loads(text)
        except json.JSONDecodeError as exc:
            raise ReportError(
                f"{source}: invalid or truncated JSON at line {exc.lineno}, column {exc.colno}: {exc.msg}"
            ) from exc
        where = str(source)
        if not isinstance(data, dict):
            raise ReportError(f"{where}: expected a JSON object, got {json_type(data)}")
        if data.get("format") != REPORT_FORMAT:
            raise ReportError(f"{where}: not a tavrin QA report (field 'format' is not {REPORT_FORMAT!r})")
        version = get_field(data, "version", (int,), where)
        if version != REPORT_VERSION:
            raise ReportError(f"{where}: unsupported report version {version!r} (expected {REPORT_VERSION})")
        raw_records = get_field(data, "records", (list,), where)
        report = cls(
            **run_fields_from(data, where),
            records=[record_from_dict(raw, f"{where}: record {i}") for i, raw in enumerate(raw_records)],
            description=get_field(data, "description", (str,), where),
            error_msg=get_field(data, "error_msg", (str,), where),
        )
        for key in ("requests", "retries", "tokens"):
            if data.get(key) is not None:
                value = get_field(data, key, (int,), where)
                if value < 0:
                    raise ReportError(f"{where}: field {key!r} must not be negative, got {value}")
                setattr(report, key, value)
        if data.get("classes") is not None:
            report.classes = get_classes(data["classes"], where)
        if data.get("shard") is not None:
            report.shard = get_field(data, "shard", (str,), where)
        if data.get("judge_models") is not None:
            report.judge_models = get_names(data, "judge_models", where)
        if data.get("cost") is not None:
            report.cost = get_field(data, "cost", (dict,), where)
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
        return Journal.open_for(
            json_path,
            name=name,
            date=date,
            test_set_path=test_set_path,
            subjects=subjects,
            evaluators=evaluators,
            description=description,
        )

    def dump_md(self, path: PathArg) -> None:
        """Write ``to_markdown()`` to ``path`` (UTF-8, replaced atomically like ``dump_json``)."""
        atomic_write_text(path, self.to_markdown())

    def to_markdown(self) -> str:
        """Render the report for people: a summary table of subjects by evaluators, then
        every case with its question, reference answer, answers and judgements."""
        return markdown.render(self)

"""The journal of a run: its new records, one JSON line each, on disk as soon as they are made,
beside the report the run will write."""

import json
import sys
import warnings
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

from tavrin import _json_text
from tavrin.evaluation.qa.report.record import EvalRecord, PathArg, ReportError
from tavrin.evaluation.qa.report.schema import REPORT_VERSION, record_from_dict

JOURNAL_FORMAT = "tavrin-qa-journal"
JOURNAL_SUFFIX = ".journal"


def journal_path(json_path: PathArg) -> Path:
    """Where the journal of a run writing ``json_path`` lives: beside it, with ``.journal`` added."""
    path = Path(json_path)
    return path.with_name(path.name + JOURNAL_SUFFIX)


class Journal:
    """An append-only log of a run's new records, one JSON object a line after a header line."""

    def __init__(self, path: Path, handle: Any) -> None:
        self.path = path
        self._handle = handle
        self._broken = False
        self._usage = _usage_now()

    @classmethod
    def open_for(
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
        """Open (or continue) the journal of a run writing its report to ``json_path``."""
        header = {
            "format": JOURNAL_FORMAT,
            "version": REPORT_VERSION,
            "name": name,
            "date": date,
            "test_set_path": test_set_path,
            "subjects": list(subjects),
            "evaluators": list(evaluators),
            "description": description,
        }
        return cls.open(journal_path(Path(json_path)), header)

    @classmethod
    def open(cls, path: Path, header: Dict[str, Any]) -> "Journal":
        _drop_partial_line(path)
        handle = open(path, "a", encoding="utf-8", newline="\n")
        try:
            if handle.tell() == 0:
                handle.write(_json_text.dumps(header) + "\n")
                handle.flush()
        except BaseException:
            handle.close()
            raise
        return cls(path, handle)

    def append(self, record: "EvalRecord") -> None:
        """Write one record and hand it to the operating system before returning."""
        if not self._broken and self._handle is not None:
            line = record.to_dict()
            now = _usage_now()
            spent = _spent(self._usage, now)
            if spent:
                line["usage"] = spent
            try:
                self._handle.write(_json_text.dumps(line) + "\n")
                self._handle.flush()
                self._usage = now
            except (TypeError, ValueError, OSError) as exc:
                # The run goes on; its final report is written as usual.
                self._broken = True
                warnings.warn(
                    f"{self.path}: journal stopped, records are kept in memory only: {exc}",
                    RuntimeWarning,
                    stacklevel=2,
                )

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


# What the model service was asked is counted by ``tavrin._llm`` once it is in use (its
# module loaded); each journal line carries what was asked since the line before it, so a
# run killed outright leaves its usage on disk with its records.
_USAGE_KEYS = ("requests", "retries", "tokens")


def _usage_now() -> Optional[Dict[str, int]]:
    llm = sys.modules.get("tavrin._llm")
    return llm.usage().to_dict() if llm is not None else None


def _spent(before: Optional[Dict[str, int]], now: Optional[Dict[str, int]]) -> Dict[str, int]:
    if now is None:
        return {}
    start = before or {}
    spent = {key: now[key] - start.get(key, 0) for key in _USAGE_KEYS}
    return spent if any(spent.values()) else {}


def _line_usage(raw: Dict[str, Any], where: str) -> Dict[str, int]:
    usage = raw.get("usage")
    if usage is None:
        return {}
    if not isinstance(usage, dict) or not all(
        isinstance(usage.get(key, 0), int) and not isinstance(usage.get(key, 0), bool) and usage.get(key, 0) >= 0
        for key in _USAGE_KEYS
    ):
        raise ReportError(f"{where}: field 'usage' must be an object of counts (non-negative integers)")
    return {key: usage.get(key, 0) for key in _USAGE_KEYS}


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
    header, records, _ = read_journal_usage(path)
    return header, records


def read_journal_usage(
    path: PathArg,
) -> Tuple[Optional[Dict[str, Any]], List["EvalRecord"], Dict[str, Dict[str, int]]]:
    """``read_journal``, and what the model service was asked for each record, by record id
    (the requests, retries and tokens spent since the line before; records without any
    are left out)."""
    source = Path(path)
    try:
        lines = source.read_text(encoding="utf-8").split("\n")
    except UnicodeDecodeError as exc:
        raise ReportError(f"{source}: not UTF-8 text ({exc})") from exc
    numbered = [(n, line) for n, line in enumerate(lines, 1) if line.strip()]
    header: Optional[Dict[str, Any]] = None
    records: List[EvalRecord] = []
    usage: Dict[str, Dict[str, int]] = {}
    for index, (lineno, line) in enumerate(numbered):
        try:
            raw = _json_text.loads(line)
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
        record = record_from_dict(raw, where)
        spent = _line_usage(raw, where)
        if spent and record.id not in usage:
            usage[record.id] = spent
        records.append(record)
    return header, merged([], records), usage


def usage_of(records: List["EvalRecord"], usage: Dict[str, Dict[str, int]]) -> Dict[str, int]:
    """What ``records`` cost, by the journal's ``usage`` (see ``read_journal_usage``)."""
    total = dict.fromkeys(_USAGE_KEYS, 0)
    for record in records:
        for key, value in usage.get(record.id, {}).items():
            total[key] += value
    return total


def merged(records: List["EvalRecord"], more: List["EvalRecord"]) -> List["EvalRecord"]:
    """``records`` followed by the records of ``more`` whose id is new, in order."""
    seen = {r.id for r in records}
    out = list(records)
    for record in more:
        if record.id not in seen:
            seen.add(record.id)
            out.append(record)
    return out


def merged_over_errors(records: List["EvalRecord"], more: List["EvalRecord"]) -> List["EvalRecord"]:
    """``merged``, except that a record of ``more`` takes the place of an error record of
    ``records`` with the same id: that judgement was made again after the error."""
    errors = {record.id: index for index, record in enumerate(records) if record.error_msg}
    out = merged(records, [record for record in more if record.id not in errors])
    for record in more:
        index = errors.pop(record.id, None)
        if index is not None:
            out[index] = record
    return out

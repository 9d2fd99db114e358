"""The checks of what a report file or a journal holds: every field read is named in the
error (file, record or line, field) when it is missing or of the wrong type."""

from typing import Any, Dict, List, Tuple

from tavrin.evaluation.qa.question_set import json_type
from tavrin.evaluation.qa.report.record import EvalRecord, ReportError

REPORT_FORMAT = "tavrin-qa-report"
REPORT_VERSION = 1


_RECORD_TEXT_FIELDS = ("question", "subject", "evaluator")


def record_from_dict(raw: Any, where: str) -> EvalRecord:
    if not isinstance(raw, dict):
        raise ReportError(f"{where}: expected an object, got {json_type(raw)}")
    case_id = get_field(raw, "case_id", (str, int), where)
    texts = {key: get_field(raw, key, (str,), where) for key in _RECORD_TEXT_FIELDS}
    for key in ("value", "reason"):
        if key not in raw:
            raise ReportError(f"{where}: missing field {key!r}")
    record = EvalRecord(
        case_id=str(case_id),
        question=texts["question"],
        subject=texts["subject"],
        prediction=get_field(raw, "prediction", (str, type(None)), where),
        expected=get_field(raw, "expected", (str, type(None)), where),
        documents=get_field(raw, "documents", (list, type(None)), where),
        evaluator=texts["evaluator"],
        value=raw["value"],
        reason=raw["reason"],
        judges=_judges_from(raw, where),
        error_msg=get_field(raw, "error_msg", (str,), where) if "error_msg" in raw else "",
    )
    stored_id = raw.get("id", record.id)
    if stored_id != record.id:
        raise ReportError(
            f"{where}: field 'id' is {stored_id!r}, but the record's case, question, subject and "
            f"evaluator give {record.id!r}; the record was altered"
        )
    return record


def _judges_from(raw: Dict[str, Any], where: str) -> Any:
    """A record's ``judges`` (each judge's verdict of a jury), checked; None when absent."""
    if raw.get("judges") is None:
        return None
    judges = get_field(raw, "judges", (list,), where)
    for index, judge in enumerate(judges):
        at = f"{where}: field 'judges', entry {index}"
        if not isinstance(judge, dict):
            raise ReportError(f"{at} must be an object, got {json_type(judge)}")
        get_field(judge, "model", (str,), at)
        for key in ("value", "reason"):
            if key not in judge:
                raise ReportError(f"{at}: missing field {key!r}")
    return [dict(judge) for judge in judges]


def get_field(obj: Dict[str, Any], key: str, types: Tuple[type, ...], where: str) -> Any:
    if key not in obj:
        raise ReportError(f"{where}: missing field {key!r}")
    value = obj[key]
    if not isinstance(value, types) or (isinstance(value, bool) and bool not in types):
        expected = " or ".join(_TYPE_NAMES[t] for t in types)
        raise ReportError(f"{where}: field {key!r} must be {expected}, got {json_type(value)}")
    return value


def get_names(obj: Dict[str, Any], key: str, where: str) -> List[str]:
    names = get_field(obj, key, (list,), where)
    for index, name in enumerate(names):
        if not isinstance(name, str):
            raise ReportError(f"{where}: field {key!r}, entry {index} must be a string, got {json_type(name)}")
    return list(names)


def get_classes(raw: Any, where: str) -> Dict[str, Dict[str, str]]:
    if not isinstance(raw, dict):
        raise ReportError(f"{where}: field 'classes' must be an object, got {json_type(raw)}")
    out: Dict[str, Dict[str, str]] = {}
    for kind in ("subjects", "evaluators"):
        table = raw.get(kind, {})
        if not isinstance(table, dict) or not all(isinstance(k, str) and isinstance(v, str) for k, v in table.items()):
            raise ReportError(f"{where}: field 'classes', entry {kind!r} must map names to \"module:Class\" strings")
        out[kind] = dict(table)
    return out


def run_fields_from(obj: Dict[str, Any], where: str) -> Dict[str, Any]:
    """What a report and its journal's header both say of the run."""
    return {
        "name": get_field(obj, "name", (str,), where),
        "date": get_field(obj, "date", (str,), where),
        "test_set_path": get_field(obj, "test_set_path", (str,), where),
        "subjects": get_names(obj, "subjects", where),
        "evaluators": get_names(obj, "evaluators", where),
    }


_TYPE_NAMES = {str: "a string", int: "an integer", list: "an array", dict: "an object", type(None): "null"}

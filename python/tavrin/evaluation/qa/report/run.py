"""What a report says of its run besides its records and error: made here for every way a
run is started (``Evaluation.run``, the concurrent run, the command line's placeholder and
merged reports), so that all of them name and date a run alike."""

from datetime import datetime
from pathlib import Path
from typing import Any, Dict, Optional

from tavrin.evaluation.qa.report.record import PathArg

#: How a report dates its run: local time, to the second.
DATE_FORMAT = "%Y-%m-%d %H:%M:%S"


def report_date(now: Optional[datetime] = None) -> str:
    """``now`` (default: the current local time) as a report's ``date``."""
    return (now if now is not None else datetime.now()).strftime(DATE_FORMAT)


def report_name(json_path: PathArg) -> str:
    """A report's ``name``: the stem of the file it is written to."""
    return Path(json_path).stem


def run_fields(evaluation: Any, json_path: PathArg, *, now: Optional[datetime] = None) -> Dict[str, Any]:
    """The run fields of the report that ``evaluation`` (an ``Evaluation``) writes to ``json_path``:
    name, date, test_set_path, subjects, evaluators and description, in the order ``Report``
    lists them (also the header of the run's journal)."""
    return {
        "name": report_name(json_path),
        "date": report_date(now),
        "test_set_path": str(evaluation._test_set_path),
        "subjects": list(evaluation._subjects.keys()),
        "evaluators": list(evaluation._evaluators.keys()),
        "description": f"Using test set <{evaluation._test_set.name}>",
    }

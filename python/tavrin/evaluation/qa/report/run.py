"""How a report names and dates its run: alike for every way a run is started
(``Evaluation.run``, the concurrent run, the command line's placeholder and merged
reports)."""

from datetime import datetime
from pathlib import Path
from typing import List, NamedTuple, Optional

from tavrin.evaluation.qa.report.record import PathArg

#: How a report dates its run: local time, to the second.
DATE_FORMAT = "%Y-%m-%d %H:%M:%S"


def report_date(now: Optional[datetime] = None) -> str:
    """``now`` (default: the current local time) as a report's ``date``."""
    return (now if now is not None else datetime.now()).strftime(DATE_FORMAT)


def report_name(json_path: PathArg) -> str:
    """A report's ``name``: the stem of the file it is written to."""
    return Path(json_path).stem


class RunHeader(NamedTuple):
    """What a report says of its run besides its records and error: the run's header, in the
    order ``Report`` lists these fields (also the header of the run's journal)."""

    name: str
    date: str
    test_set_path: str
    subjects: List[str]
    evaluators: List[str]
    description: str

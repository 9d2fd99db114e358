"""Evaluation records and the report that holds them, saved as JSON and rendered as Markdown.

By topic: ``record`` (one judgement), ``model`` (the report and its JSON file), ``schema``
(the checks of what a file holds), ``journal`` (a run's records on disk as they are made),
``markdown`` (the report for people) and ``run`` (how a report names and dates its run:
``RunHeader``).
"""

from tavrin._outputs import atomic_write_text
from tavrin.evaluation.qa.report.journal import (
    JOURNAL_FORMAT,
    JOURNAL_SUFFIX,
    Journal,
    journal_path,
    read_journal,
)
from tavrin.evaluation.qa.report.markdown import summarise
from tavrin.evaluation.qa.report.model import Report
from tavrin.evaluation.qa.report.record import EvalRecord, PathArg, ReportError
from tavrin.evaluation.qa.report.run import DATE_FORMAT, RunHeader, report_date, report_name
from tavrin.evaluation.qa.report.schema import REPORT_FORMAT, REPORT_VERSION

__all__ = [
    "DATE_FORMAT",
    "EvalRecord",
    "Journal",
    "JOURNAL_FORMAT",
    "JOURNAL_SUFFIX",
    "PathArg",
    "REPORT_FORMAT",
    "REPORT_VERSION",
    "Report",
    "ReportError",
    "RunHeader",
    "atomic_write_text",
    "journal_path",
    "read_journal",
    "report_date",
    "report_name",
    "summarise",
]

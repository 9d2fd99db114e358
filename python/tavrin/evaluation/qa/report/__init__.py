"""Evaluation records and the report that holds them, saved as JSON and rendered as Markdown.

By topic: ``record`` (one judgement), ``model`` (the report and its JSON file), ``schema``
(the checks of what a file holds), ``journal`` (a run's records on disk as they are made),
``markdown`` (the report for people) and ``run`` (what a report says of its run).
"""

from tavrin._outputs import atomic_write_text
from tavrin.evaluation.qa.report.journal import (
    JOURNAL_FORMAT, JOURNAL_SUFFIX, Journal, journal_path, on_journal_append, read_journal,
)
from tavrin.evaluation.qa.report.markdown import summarise
from tavrin.evaluation.qa.report.model import Report, on_report_written
from tavrin.evaluation.qa.report.record import EvalRecord, PathArg, ReportError
from tavrin.evaluation.qa.report.run import DATE_FORMAT, report_date, report_name, run_fields
from tavrin.evaluation.qa.report.schema import REPORT_FORMAT, REPORT_VERSION

__all__ = [
    "DATE_FORMAT", "EvalRecord", "Journal", "JOURNAL_FORMAT", "JOURNAL_SUFFIX", "PathArg", "REPORT_FORMAT", "REPORT_VERSION",
    "Report", "ReportError", "atomic_write_text", "journal_path", "on_journal_append", "on_report_written", "read_journal", "report_date",
    "report_name", "run_fields", "summarise",
]

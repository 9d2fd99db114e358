"""What a run of an ``Evaluation`` has to do: its judgements, in the order a sequential run
makes them, and the fields its report names the run by.

This module is the host's one reader of an ``Evaluation``'s inner state (its question
set, subjects, evaluators and records so far); the command line and the concurrent run
ask it instead of reaching into the evaluation themselves.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from datetime import datetime
from typing import Any, Callable, Dict, List, Optional

from tavrin.evaluation.qa.question_set import QuestionSet
from tavrin.evaluation.qa.report import EvalRecord, PathArg, report_date, report_name

__all__ = ["Judgement", "Plan", "cases", "keep_cases", "plan", "run_fields", "set_test_set_path"]


@dataclass(frozen=True)
class Judgement:
    """One judgement to make: ``evaluator`` on ``subject``'s answer to ``case``."""

    index: int  # position among the judgements still to make
    case_index: int
    case: Any
    s_name: Any
    subject: Any
    e_name: Any
    evaluator: Any


@dataclass
class Plan:
    """The judgements of a run: those still to make, and where every record of the run goes."""

    #: the records the evaluation holds already (a resumed run's); the run adds to this list
    records: List[EvalRecord]
    #: the judgements still to make, in the order a sequential run makes them
    pending: List[Judgement] = field(default_factory=list)
    #: (case, subject name, evaluator name) of the judgements recorded already
    skipped: List[Any] = field(default_factory=list)
    #: record id -> its position in a sequential run's report
    positions: Dict[str, int] = field(default_factory=dict)
    #: the subjects by name, and how many cases there are: one answer slot each
    subjects: Dict[Any, Any] = field(default_factory=dict)
    cases: List[Any] = field(default_factory=list)

    @property
    def total(self) -> int:
        """How many judgements the run is to make."""
        return len(self.pending)


def plan(evaluation: Any) -> Plan:
    """The plan of a run of ``evaluation``: every case, by every subject, by every evaluator,
    less what the evaluation has recorded already."""
    records: List[EvalRecord] = evaluation._records if evaluation._records else []
    done = {record.id for record in records}
    out = Plan(records=records, subjects=dict(evaluation._subjects), cases=list(evaluation._test_set.cases))
    for case_index, case in enumerate(out.cases):
        for s_name, subject in out.subjects.items():
            for e_name, evaluator in evaluation._evaluators.items():
                rid = EvalRecord.gen_eval_record_id(
                    case_id=case.id, question=case.question, subject=s_name, evaluator=e_name
                )
                out.positions.setdefault(rid, len(out.positions))
                if rid in done:
                    out.skipped.append((case, s_name, e_name))
                    continue
                out.pending.append(Judgement(len(out.pending), case_index, case, s_name, subject, e_name, evaluator))
    return out


def cases(evaluation: Any) -> List[Any]:
    """The cases of the evaluation's question set."""
    return list(evaluation._test_set.cases)


def keep_cases(evaluation: Any, keep: Callable[[Any], bool]) -> None:
    """Leave in the evaluation's question set only the cases ``keep`` accepts (a shard)."""
    test_set = evaluation._test_set
    evaluation._test_set = QuestionSet(name=test_set.name, cases=[c for c in test_set.cases if keep(c)])


def set_test_set_path(evaluation: Any, path: str) -> None:
    """Name the question set by ``path`` in the run's report (a resumed run keeps the path
    its report stored, not the one it was found at)."""
    evaluation._test_set_path = path


def run_fields(evaluation: Any, json_path: PathArg, *, now: Optional[datetime] = None) -> Dict[str, Any]:
    """The run fields of the report that ``evaluation`` (an ``Evaluation``) writes to ``json_path``:
    name, date, test_set_path, subjects, evaluators and description, in the order ``Report``
    lists them (also the header of the run's journal). Every way a run starts
    (``Evaluation.run``, the concurrent run, the command line's placeholder report) names
    and dates its run with these."""
    return {
        "name": report_name(json_path),
        "date": report_date(now),
        "test_set_path": str(evaluation._test_set_path),
        "subjects": list(evaluation._subjects.keys()),
        "evaluators": list(evaluation._evaluators.keys()),
        "description": f"Using test set <{evaluation._test_set.name}>",
    }

"""One judgement of an evaluation run, and the error of a report file."""

import hashlib
import json
import uuid
from dataclasses import dataclass, field
from os import PathLike
from typing import Any, Dict, List, Optional, Union

from tavrin.errors import ReportError  # noqa: F401 (the report modules import it from here)

_ID_NAMESPACE = uuid.UUID("6f1d3c52-8f0e-4a55-9d4b-2f7a0c1e5b93")

PathArg = Union[str, "PathLike[str]"]


@dataclass(frozen=True)
class JuryVerdict:
    """What a jury of judge models makes of an answer: the jury's ``value`` and each judge's
    own verdict (``judges``: {"model", "value", "reason"} per judge, in the jury's order).

    An evaluator that consults a jury returns this as its result's value; the record made
    of it keeps ``value`` as its value and the verdicts as its ``judges``. Printed, it is
    its value.
    """

    value: Any
    judges: List[Dict[str, Any]]

    def __format__(self, format_spec: str) -> str:
        return format(self.value, format_spec)

    def __str__(self) -> str:
        return format(self.value, "")


@dataclass(frozen=True, kw_only=True)
class EvalRecord:
    """One judgement: what a subject answered to a test case and what an evaluator made of it.

    ``id`` is derived from ``case_id``, ``question``, ``subject`` and ``evaluator`` (see
    ``gen_eval_record_id``), so a saved record tells a resumed run what is already done.

    A judgement is a pass or a fail by its ``value``, or an error: ``error_msg`` then holds
    the one-line text of what the subject or the evaluator raised (``value`` and ``reason``
    are None), and the record counts in no rate or mean.
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
    #: Each judge's verdict when a jury of judge models made the judgement (see
    #: ``JuryVerdict``); None for a judgement of one judge.
    judges: Optional[List[Dict[str, Any]]] = None
    id: str = field(init=False)
    error_msg: str = ""

    def __post_init__(self) -> None:
        if isinstance(self.value, JuryVerdict):
            object.__setattr__(self, "judges", self.value.judges)
            object.__setattr__(self, "value", self.value.value)
        record_id = self.gen_eval_record_id(
            case_id=self.case_id, question=self.question, subject=self.subject, evaluator=self.evaluator
        )
        object.__setattr__(self, "id", record_id)

    @property
    def is_error(self) -> bool:
        """Whether the judgement ended in an error rather than a value."""
        return bool(self.error_msg)

    def __hash__(self) -> int:
        return hash(self.id)

    @staticmethod
    def gen_eval_record_id(*, case_id: Any, question: Any, subject: Any, evaluator: Any) -> str:
        """Return the identifier of the judgement of ``subject`` by ``evaluator`` on a case.

        A UUID (version 5) as text, the same for the same four values on every run.
        """
        key = json.dumps([str(case_id), str(question), str(subject), str(evaluator)], ensure_ascii=False)
        # uuid.uuid5 of the UTF-8 text, spelled out so that a lone surrogate (which UTF-8
        # cannot encode) gets an identifier too; every other text hashes the same bytes.
        digest = hashlib.sha1(_ID_NAMESPACE.bytes + key.encode("utf-8", "surrogatepass")).digest()
        return str(uuid.UUID(bytes=digest[:16], version=5))

    def to_dict(self) -> Dict[str, Any]:
        """The record as a JSON-ready dictionary, ``id`` first; ``judges`` (a jury's verdicts)
        and ``error_msg`` (only when the judgement is an error) last, when present."""
        data: Dict[str, Any] = {
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
        if self.judges is not None:
            data["judges"] = [dict(judge) for judge in self.judges]
        if self.error_msg:
            data["error_msg"] = self.error_msg
        return data

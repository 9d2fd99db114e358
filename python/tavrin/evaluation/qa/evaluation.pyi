from datetime import datetime as datetime
from pathlib import Path as Path
from typing import Dict as Dict, List as List, Optional as Optional, Type as Type

import click as click

from tavrin.evaluation.qa.evaluable.base import EvaluableQA as EvaluableQA
from tavrin.evaluation.qa.evaluable.base import get_evaluable_from_name as get_evaluable_from_name
from tavrin.evaluation.qa.evaluator.base import Evaluator as Evaluator
from tavrin.evaluation.qa.evaluator.base import get_evaluator_from_name as get_evaluator_from_name
from tavrin.evaluation.qa.question_set import QuestionSet as QuestionSet
from tavrin.evaluation.qa.report import EvalRecord as EvalRecord
from tavrin.evaluation.qa.report import Report as Report

def get_verbose_print(verbose: bool): ...

class Evaluation:
    _test_set_path: str
    _test_set: QuestionSet
    _subjects: Dict[str, EvaluableQA]
    _evaluators: Dict[str, Evaluator]
    _records: List[EvalRecord]
    def __init__(
        self,
        test_set_path: str,
        subjects: List[Type[EvaluableQA]],
        evaluators: List[Type[Evaluator]],
        records: Optional[List[EvalRecord]] = None,
    ) -> None: ...
    def run(self, json_path: str, markdown_path: Optional[str] = None, verbose: bool = False):
        """Run the evaluation and save the report to json and markdown file."""
    @classmethod
    def resume(cls, report_json_path: str):
        """Resume an Evaluation's config from a report json file."""

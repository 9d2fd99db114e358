import uuid as uuid
from typing import Tuple as Tuple

from tavrin.evaluation.qa.evaluable.base import EvaluableQA as EvaluableQA
from tavrin.kelmor import ActionHistory as ActionHistory
from tavrin.kelmor import ActionRedirect as ActionRedirect
from tavrin.kelmor import get_db_session as get_db_session
from tavrin.kelmor import run_action as run_action
from tavrin.zorvane import EntryAction as EntryAction

class Mundle(EvaluableQA):
    """
    Answer question via EntryAction
    """
    def predict(self, question: str) -> Tuple[str, list]: ...

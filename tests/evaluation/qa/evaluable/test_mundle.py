"""The action-framework bot as an evaluable subject."""

import inspect
import uuid
from pathlib import Path
from typing import Any, Iterator, List

import pytest
from langchain.chat_models.fake import FakeListChatModel

from tavrin import kelmor
from tavrin.evaluation.qa.evaluable import mundle
from tavrin.evaluation.qa.evaluable.base import EvaluableQA, get_evaluable_from_name
from tavrin.kelmor import ActionHistory, get_db_session
from tavrin.zorvane import AnswerAction, EntryAction


@pytest.fixture(autouse=True)
def database(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Iterator[None]:
    monkeypatch.setenv("TAVRIN_DATABASE_URL", f"sqlite:///{tmp_path / 'actions.sqlite3'}")
    yield
    kelmor.dispose_engines()


def test_module_and_class_shape():
    assert [n for n in vars(mundle) if not n.startswith("__")] == [
        "uuid", "Tuple", "EvaluableQA", "EntryAction", "ActionHistory", "get_db_session", "ActionRedirect",
        "run_action", "Mundle"]
    assert mundle.Mundle.__bases__ == (EvaluableQA,)
    assert mundle.Mundle.__doc__ == "\n    Answer question via EntryAction\n    "
    assert get_evaluable_from_name("Mundle") is mundle.Mundle
    assert str(inspect.signature(mundle.Mundle.predict)) == "(self, question: 'str') -> 'Tuple[str, list]'"


def test_the_bot_reply_comes_back(monkeypatch):
    monkeypatch.setattr(AnswerAction, "llm", FakeListChatModel(responses=["It adds.", "It multiplies."]))
    subject = mundle.Mundle()
    first = subject.predict("What does add do?")
    assert first == ("It adds.", []) and type(first) is tuple
    first[1].append("x")
    assert subject.predict(question="And mul?") == ("It multiplies.", [])
    with get_db_session() as session:
        chats = {row.chat_id for row in session.query(ActionHistory)}
    assert len(chats) == 2  # every question in a fresh chat


def test_the_turn_runs_under_its_own_chat_id(monkeypatch):
    calls: List[Any] = []
    monkeypatch.setattr(mundle, "run_action", lambda *args, **kwargs: calls.append((args, kwargs)))
    assert mundle.Mundle().predict("q") == ("", [])  # nothing recorded: no reply
    [(args, kwargs)] = calls
    assert kwargs == {} and len(args) == 3
    message_id, redirect, callback = args
    assert isinstance(message_id, uuid.UUID) and message_id.version == 4
    assert (redirect.question, type(redirect.action), list(redirect.data)) == ("q", EntryAction, ["chat_id"])
    chat_id = redirect.data["chat_id"]
    assert isinstance(chat_id, uuid.UUID) and chat_id.version == 4 and chat_id != message_id
    assert callback.__name__ == "<lambda>" and str(inspect.signature(callback)) == "(x)"
    assert callback("anything") is None


def test_the_newest_action_of_the_turn_supplies_the_reply(monkeypatch):
    def run_action(message_id, redirect, callback):
        chat_id = redirect.data["chat_id"]
        with get_db_session() as session:
            for index, text in [(0, "first"), (2, "newest"), (1, "middle")]:
                session.add(ActionHistory(chat_id=chat_id, user_message_id=message_id, action_index=index,
                                          action_name="A", question="q", message=text))
            # another turn of the same chat, with a higher index, is not this turn's
            session.add(ActionHistory(chat_id=chat_id, user_message_id=uuid.uuid4(), action_index=9,
                                      action_name="A", question="q", message="other turn"))

    monkeypatch.setattr(mundle, "run_action", run_action)
    assert mundle.Mundle().predict("q") == ("newest", [])


class FakeSession:
    """A session whose query yields ``row``, or raises ``error``; its manager records exits."""

    def __init__(self, row: Any = None, error: Exception = None, swallow: bool = False) -> None:
        self.row, self.error, self.swallow, self.exits = row, error, swallow, []

    def query(self, model: Any) -> "FakeSession":
        if self.error:
            raise self.error
        return self

    def filter_by(self, **kwargs: Any) -> "FakeSession":
        return self

    def order_by(self, *args: Any) -> "FakeSession":
        return self

    def first(self) -> Any:
        return self.row

    def __enter__(self) -> "FakeSession":
        return self

    def __exit__(self, *exc: Any) -> bool:
        self.exits.append(exc)
        return self.swallow


@pytest.fixture
def session(monkeypatch: pytest.MonkeyPatch) -> FakeSession:
    fake = FakeSession()
    monkeypatch.setattr(mundle, "run_action", lambda *args: None)
    monkeypatch.setattr(mundle, "get_db_session", lambda: fake)
    return fake


def test_a_false_row_counts_as_none(session):
    session.row = type("Row", (), {"__bool__": lambda self: False, "message": "hidden"})()
    assert mundle.Mundle().predict("q") == ("", [])
    assert session.exits == [(None, None, None)]


@pytest.mark.parametrize("swallow", [True, False])
def test_a_query_error_goes_through_the_session_exit(session, swallow):
    session.error, session.swallow = LookupError("no table"), swallow
    if swallow:
        assert mundle.Mundle().predict("q") == ("", [])
    else:
        with pytest.raises(LookupError) as info:
            mundle.Mundle().predict("q")
        assert info.value is session.error
    [(kind, value, tb)] = session.exits
    assert kind is LookupError and value is session.error and tb is not None


@pytest.mark.parametrize("bad, tname", [(None, "NoneType"), (type("S", (str,), {})("q"), "S")])
def test_question_must_be_exactly_str(monkeypatch, bad, tname):
    monkeypatch.setattr(mundle, "run_action", lambda *args: pytest.fail("ran"))
    with pytest.raises(TypeError) as info:
        mundle.Mundle().predict(bad)
    assert str(info.value) == f"Argument 'question' has incorrect type (expected str, got {tname})"

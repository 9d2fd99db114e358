"""The action framework and the zorvane bot, on SQLite in a temporary file."""

import uuid
from pathlib import Path
from typing import Iterator, List

import pytest
from langchain.chat_models.fake import FakeListChatModel

from tavrin import zorvane
from tavrin.kelmor import (
    Action,
    ActionHistory,
    ActionRedirect,
    ActionResult,
    dispose_engines,
    get_db_session,
    run_action,
)
from tavrin.zorvane import AnswerAction, EntryAction


@pytest.fixture(autouse=True)
def database(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Iterator[str]:
    url = f"sqlite:///{tmp_path / 'db' / 'actions.sqlite3'}"
    monkeypatch.setenv("TAVRIN_DATABASE_URL", url)
    yield url
    dispose_engines()


def rows(chat_id: uuid.UUID) -> List[ActionHistory]:
    with get_db_session() as session:
        return session.query(ActionHistory).filter_by(chat_id=chat_id).order_by(ActionHistory.id).all()


class Echo(Action):
    def run(self, context):
        return f"{context.question} (turn {len(context.history) + 1})"


class Forward(Action):
    def run(self, context):
        return ActionResult(message="thinking", redirect=ActionRedirect(context.question.upper(), Echo(), context.data))


def test_a_turn_is_recorded_step_by_step_under_its_chat(database):
    chat, message = uuid.uuid4(), uuid.uuid4()
    sent = []
    turn = run_action(message, ActionRedirect(question="hi", action=Forward(), data={"chat_id": str(chat)}), sent.append)
    assert turn == (chat, ["thinking", "HI (turn 1)"]) and sent == turn.messages
    recorded = rows(chat)
    assert [(r.action_index, r.action_name, r.question, r.message) for r in recorded] == [
        (0, "Forward", "hi", "thinking"), (1, "Echo", "HI", "HI (turn 1)")]
    assert all(r.user_message_id == message for r in recorded)
    assert Path(database.removeprefix("sqlite:///")).is_file()


def test_later_turns_see_the_chat_history():
    chat = uuid.uuid4()
    run_action(uuid.uuid4(), ActionRedirect("one", Echo(), {"chat_id": chat}), lambda x: None)
    turn = run_action(uuid.uuid4(), ActionRedirect("two", Echo(), {"chat_id": chat}), lambda x: None)
    assert turn.messages == ["two (turn 2)"]
    # without a chat id a turn starts a chat of its own
    alone = run_action(uuid.uuid4(), ActionRedirect("three", Echo()), lambda x: None)
    assert alone.chat_id != chat and alone.messages == ["three (turn 1)"]


def test_a_redirect_loop_is_stopped():
    class Loop(Action):
        def run(self, context):
            return ActionRedirect(context.question, Loop(), context.data)

    chat = uuid.uuid4()
    with pytest.raises(RuntimeError, match="did not finish within 3 steps"):
        run_action(uuid.uuid4(), ActionRedirect("q", Loop(), {"chat_id": chat}), lambda x: None, max_steps=3)
    assert [r.action_index for r in rows(chat)] == [0, 1, 2]


class RecordingChat(FakeListChatModel):
    seen: List[List[str]] = []

    def _call(self, messages, stop=None, run_manager=None, **kwargs):
        self.seen.append([str(m.content) for m in messages])
        return super()._call(messages, stop, run_manager, **kwargs)


def test_zorvane_bot_answers_with_the_chat_so_far(monkeypatch):
    model = RecordingChat(responses=["first reply", "second reply"], seen=[])
    monkeypatch.setattr(AnswerAction, "llm", model)
    chat = uuid.uuid4()
    first = run_action(uuid.uuid4(), ActionRedirect(" q1 ", EntryAction(), {"chat_id": chat}), lambda x: None)
    assert first.messages == ["first reply"]
    run_action(uuid.uuid4(), ActionRedirect("q2", EntryAction(), {"chat_id": chat}), lambda x: None)
    assert model.seen[1][1:] == ["q1", "first reply", "q2"]  # after the instructions
    assert [(r.action_name, r.message) for r in rows(chat)] == [
        ("EntryAction", None), ("AnswerAction", "first reply"), ("EntryAction", None), ("AnswerAction", "second reply")]


def test_zorvane_turns_away_a_blank_question(monkeypatch):
    monkeypatch.setattr(zorvane, "default_llm", lambda: pytest.fail("model asked"))
    turn = run_action(uuid.uuid4(), ActionRedirect("  ", EntryAction()), lambda x: None)
    assert turn.messages == [zorvane.BLANK_QUESTION_REPLY]

"""kelmor: a small framework for bots whose turns are chains of actions.

A bot turn starts with an ``ActionRedirect`` (the user's question, the first action,
and a data mapping). ``run_action`` runs that action; an action answers with a message
for the user, with a redirect to the next action, or both, and the framework follows
redirects until an action stops. Every step is stored as an ``ActionHistory`` row
under the turn's chat id and user-message id, numbered by ``action_index`` from 0.

The chat id of a turn is ``data["chat_id"]`` of the first redirect (a UUID, or its
text), so several turns can form one conversation; without it a turn gets a new chat
id of its own. History lives in a SQL database through SQLAlchemy: by default a SQLite
file in tavrin's data folder (``$TAVRIN_DATA_DIR/actions.sqlite3``, or
``~/.local/share/tavrin/actions.sqlite3``); ``TAVRIN_DATABASE_URL`` selects any other
database SQLAlchemy supports. Tables are created on first use.
"""

import abc
import contextlib
import datetime
import os
import threading
import uuid
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Tuple, Union

from sqlalchemy import DateTime, Integer, String, Text, UniqueConstraint, Uuid, create_engine, select
from sqlalchemy.engine import Engine, make_url
from sqlalchemy.orm import DeclarativeBase, Mapped, Session, mapped_column

from tavrin._dirs import data_dir

__all__ = [
    "Action",
    "ActionContext",
    "ActionHistory",
    "ActionRedirect",
    "ActionResult",
    "Base",
    "Turn",
    "database_url",
    "dispose_engines",
    "get_db_session",
    "run_action",
]

DEFAULT_MAX_STEPS = 16


def database_url() -> str:
    """The database that ``get_db_session`` opens by default (``TAVRIN_DATABASE_URL``, else SQLite)."""
    configured = os.environ.get("TAVRIN_DATABASE_URL")
    if configured:
        return configured
    return f"sqlite:///{data_dir() / 'actions.sqlite3'}"


class Base(DeclarativeBase):
    """Declarative base of the framework's tables."""


class ActionHistory(Base):
    """One step of a bot turn: which action ran and what it said."""

    __tablename__ = "action_history"
    __table_args__ = (UniqueConstraint("user_message_id", "action_index"),)

    id: Mapped[int] = mapped_column(Integer, primary_key=True, autoincrement=True)
    chat_id: Mapped[uuid.UUID] = mapped_column(Uuid, index=True)
    user_message_id: Mapped[uuid.UUID] = mapped_column(Uuid, index=True)
    action_index: Mapped[int] = mapped_column(Integer)
    action_name: Mapped[str] = mapped_column(String(200))
    question: Mapped[str] = mapped_column(Text)
    # What the action said to the user; None when it only handed over to another action.
    message: Mapped[Optional[str]] = mapped_column(Text, nullable=True)
    created_at: Mapped[datetime.datetime] = mapped_column(
        DateTime(timezone=True), default=lambda: datetime.datetime.now(datetime.timezone.utc)
    )

    def __repr__(self) -> str:
        return (
            f"<ActionHistory chat={self.chat_id} message={self.user_message_id} "
            f"#{self.action_index} {self.action_name}: {self.message!r}>"
        )


_engines: Dict[str, Engine] = {}
_engines_lock = threading.Lock()


def _engine(url: str) -> Engine:
    with _engines_lock:
        engine = _engines.get(url)
        if engine is None:
            parsed = make_url(url)
            if parsed.get_backend_name() == "sqlite" and parsed.database not in (None, "", ":memory:"):
                Path(parsed.database).expanduser().parent.mkdir(parents=True, exist_ok=True)
            engine = create_engine(url)
            Base.metadata.create_all(engine)
            _engines[url] = engine
        return engine


def dispose_engines() -> None:
    """Close the connections of every database opened so far."""
    with _engines_lock:
        engines = list(_engines.values())
        _engines.clear()
    for engine in engines:
        engine.dispose()


@contextlib.contextmanager
def get_db_session(url: Optional[str] = None) -> Iterator[Session]:
    """A database session: committed when the block ends normally, rolled back on an error.

    Rows read in the block stay readable after it (their loaded values are kept).
    """
    session = Session(_engine(url or database_url()), expire_on_commit=False)
    try:
        yield session
        session.commit()
    except BaseException:
        session.rollback()
        raise
    finally:
        session.close()


@dataclass
class ActionContext:
    """What an action sees when it runs."""

    chat_id: uuid.UUID
    user_message_id: uuid.UUID
    action_index: int
    question: str
    data: Dict[str, Any]
    # Earlier turns of this chat: (question, reply) pairs, oldest first; the reply is
    # the last message of the turn, the question the one its action was given.
    history: List[Tuple[str, str]] = field(default_factory=list)


class Action(abc.ABC):
    """One step of a bot. ``run`` returns what to say, where to go next, or both."""

    @property
    def name(self) -> str:
        """The name recorded in the history (the class name)."""
        return type(self).__name__

    @abc.abstractmethod
    def run(self, context: ActionContext) -> Union["ActionResult", "ActionRedirect", str, None]:
        """Do this step: a str is a message to the user, an ``ActionRedirect`` the next action."""


@dataclass
class ActionRedirect:
    """Go to ``action`` with ``question`` and ``data``."""

    question: str
    action: Action
    data: Dict[str, Any] = field(default_factory=dict)


@dataclass
class ActionResult:
    """What a step produced: a message for the user, and the next step, each optional."""

    message: Optional[str] = None
    redirect: Optional[ActionRedirect] = None


class Turn(NamedTuple):
    """The outcome of ``run_action``: the chat id used and the messages sent, in order."""

    chat_id: uuid.UUID
    messages: List[str]


def _as_uuid(value: Any, what: str) -> uuid.UUID:
    if isinstance(value, uuid.UUID):
        return value
    if isinstance(value, str):
        try:
            return uuid.UUID(value)
        except ValueError:
            pass
    raise ValueError(f"{what} must be a UUID or its text, got {value!r}")


def _outcome(value: Any, action: Action) -> ActionResult:
    if isinstance(value, ActionResult):
        return value
    if isinstance(value, ActionRedirect):
        return ActionResult(redirect=value)
    if value is None or isinstance(value, str):
        return ActionResult(message=value)
    raise TypeError(
        f"action {action.name} returned {type(value).__name__}; "
        "expected an ActionResult, an ActionRedirect, a str or None"
    )


def _chat_history(session: Session, chat_id: uuid.UUID, user_message_id: uuid.UUID) -> List[Tuple[str, str]]:
    """The (question, reply) pairs of the chat's earlier turns, oldest first."""
    rows = session.execute(
        select(ActionHistory)
        .where(ActionHistory.chat_id == chat_id, ActionHistory.user_message_id != user_message_id)
        .order_by(ActionHistory.id)
    ).scalars()
    turns: Dict[uuid.UUID, Tuple[str, str]] = {}
    for row in rows:
        if row.message:  # the last step that spoke, with the question as that step saw it
            turns[row.user_message_id] = (row.question, row.message)
    return list(turns.values())


def run_action(
    user_message_id: Union[uuid.UUID, str],
    redirect: ActionRedirect,
    callback: Callable[[str], Any],
    *,
    max_steps: int = DEFAULT_MAX_STEPS,
    db_url: Optional[str] = None,
) -> Turn:
    """Run one bot turn, starting at ``redirect``, and record every step.

    ``callback`` is called with each message an action produces, after the step that
    produced it is stored. Each step is committed on its own, so the history shows the
    steps that finished even when a later one fails (its error propagates). A turn
    longer than ``max_steps`` steps raises ``RuntimeError``.
    """
    message_id = _as_uuid(user_message_id, "user_message_id")
    chat = redirect.data.get("chat_id") if isinstance(redirect.data, dict) else None
    chat_id = _as_uuid(chat, "data['chat_id']") if chat is not None else uuid.uuid4()
    with get_db_session(db_url) as session:
        history = _chat_history(session, chat_id, message_id)
    messages: List[str] = []
    current: Optional[ActionRedirect] = redirect
    index = 0
    while current is not None:
        if index >= max_steps:
            raise RuntimeError(
                f"the turn did not finish within {max_steps} steps (last action: {current.action.name}); "
                "do its actions redirect to each other in a loop?"
            )
        action = current.action
        context = ActionContext(
            chat_id=chat_id,
            user_message_id=message_id,
            action_index=index,
            question=current.question,
            data=current.data,
            history=history,
        )
        outcome = _outcome(action.run(context), action)
        with get_db_session(db_url) as session:
            session.add(
                ActionHistory(
                    chat_id=chat_id,
                    user_message_id=message_id,
                    action_index=index,
                    action_name=action.name,
                    question=current.question,
                    message=outcome.message,
                )
            )
        if outcome.message is not None:
            messages.append(outcome.message)
            callback(outcome.message)
        current = outcome.redirect
        index += 1
    return Turn(chat_id, messages)

"""Running one bot turn: follow the redirects from action to action and record every step."""

import uuid
from typing import Any, Callable, Dict, List, Optional, Tuple, Union

from sqlalchemy import select
from sqlalchemy.orm import Session

from tavrin.kelmor.actions import Action, ActionContext, ActionRedirect, ActionResult, Turn
from tavrin.kelmor.db import get_db_session
from tavrin.kelmor.model import ActionHistory

DEFAULT_MAX_STEPS = 16


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

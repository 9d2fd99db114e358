"""What a bot is made of: actions, the context they run in, and what they return."""

import abc
import uuid
from dataclasses import dataclass, field
from typing import Any, Dict, List, NamedTuple, Optional, Tuple, Union


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

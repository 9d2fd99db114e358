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

The package is split by topic: ``db`` (database, engines, sessions), ``model`` (the
history table), ``actions`` (the action types) and ``runner`` (``run_action``).
"""

from tavrin.kelmor.actions import Action, ActionContext, ActionRedirect, ActionResult, Turn
from tavrin.kelmor.db import database_url, dispose_engines, get_db_session
from tavrin.kelmor.model import ActionHistory, Base
from tavrin.kelmor.runner import DEFAULT_MAX_STEPS, run_action

__all__ = [
    "Action",
    "ActionContext",
    "ActionHistory",
    "ActionRedirect",
    "ActionResult",
    "Base",
    "DEFAULT_MAX_STEPS",
    "Turn",
    "database_url",
    "dispose_engines",
    "get_db_session",
    "run_action",
]

"""guidance 0.0.64: mends to its OpenAI model (``guidance.llms._openai``) and its program
executor, for the judges.

Why: the judges' shared model (``conf.chat_gpt`` of the judges' ``llm_helper``) is
guidance's ``OpenAI``, and three of its habits get in the way of tavrin's runs:

- ``lift_throttle``: guidance keeps every OpenAI model to ``max_calls_per_min`` (60)
  calls a minute; tavrin limits requests itself (``tavrin._llm.configure(rpm=...)``), so
  the model's own limit is set out of reach. This is guidance's public attribute.
- ``accept_empty_chat_answers``: guidance copies each chat choice's ``message.content``
  to ``choice["text"]``, and openai's response objects refuse an empty string there ("You
  cannot set text to an empty string"), yet small local models do answer with empty
  content (or none at all, or cut off at the length limit). guidance has no hook for
  this, so its module function ``add_text_to_chat_mode`` is replaced.
- ``program_errors_to_stderr``: when a program fails, guidance's program executor prints
  the traceback and ``Error in program: ...`` on standard output before it raises, where
  they would stand among a command's results. Those are the executor's only prints, so
  its module-level ``print`` is pointed at standard error; the error still reaches the
  judge's caller as before. A program stopped by the run's cost cap prints nothing: the
  run says once why it stopped.

``install(llm)`` applies every mend; ``tavrin.evaluation.qa.evaluator.judge_model.configure_judge``
calls it. Further mends of guidance's OpenAI model belong in this module, applied from
``install``.
"""

from __future__ import annotations

import sys
import types
from typing import Any

__all__ = ["accept_empty_chat_answers", "install", "lift_throttle", "program_errors_to_stderr"]

#: Calls a minute that no run reaches.
UNLIMITED_CALLS_PER_MIN = 1 << 62


def install(llm: Any) -> None:
    """Apply the mends to the judges' model ``llm`` (a ``guidance.llms.OpenAI``) and to guidance."""
    lift_throttle(llm)
    accept_empty_chat_answers()
    program_errors_to_stderr()


def lift_throttle(llm: Any) -> None:
    """Take ``llm`` out of guidance's per-model limit of calls a minute."""
    llm.max_calls_per_min = UNLIMITED_CALLS_PER_MIN


def accept_empty_chat_answers() -> None:
    """Let guidance take chat answers with empty or missing content (process-wide, once).

    The copy to ``choice["text"]`` is made with the plain ``dict`` assignment, so such an
    answer reaches the judge as the empty text it is. Streamed answers go through
    guidance's own path, which skips empty pieces already.
    """
    import guidance.llms._openai as guidance_openai

    current = guidance_openai.add_text_to_chat_mode
    if getattr(current, "__wrapped__", None) is not None:
        return
    original = current

    def add_text_to_chat_mode(chat_mode: Any) -> Any:
        if isinstance(chat_mode, (types.AsyncGeneratorType, types.GeneratorType)):
            return original(chat_mode)
        for choice in chat_mode["choices"]:
            message = choice.get("message") or {}
            dict.__setitem__(choice, "text", message.get("content") or "")
        return chat_mode

    add_text_to_chat_mode.__wrapped__ = original  # type: ignore[attr-defined]
    guidance_openai.add_text_to_chat_mode = add_text_to_chat_mode


def _print_to_stderr(*args: Any, **kwargs: Any) -> None:
    from tavrin._costs import BudgetReached

    if isinstance(sys.exc_info()[1], BudgetReached):  # printed while the executor handles it
        return
    print(*args, **dict(kwargs, file=sys.stderr))


def program_errors_to_stderr() -> None:
    """Have guidance's program executor print on standard error (the one in force when it prints)."""
    import guidance._program_executor as executor

    executor.print = _print_to_stderr

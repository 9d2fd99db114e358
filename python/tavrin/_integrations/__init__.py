"""Every process-wide patch tavrin makes to a third-party library, one module per library.

Importing ``tavrin`` (or this package) patches nothing. The ``tavrin`` command line calls
``install()`` before it runs a command; the patches whose settings or timing belong to a
particular step are installed by that step, as listed here:

- ``tiktoken_data``: tiktoken's encoding data without a download (wraps
  ``tiktoken.load.read_file_cached``). By ``install()``; and, since the Python API must
  work offline without the command line, by the code that loads an encoding, before it
  does: ``tavrin.ask_codebase`` (splitters, chunking, chains, store) and the judges'
  package when imported, ``tavrin.embeddings.resolve_embeddings`` and the token counts
  of ``tavrin._llm``. Nothing is written until tiktoken reads an encoding.
- ``openai_requestor``: retries, timeouts, rate limit and counting for every openai 0.28
  request (wraps ``APIRequestor.request`` and ``arequest``). By ``tavrin._llm.configure()``,
  which also sets how requests are made.
- ``guidance_openai``: mends to guidance's OpenAI model (its throttle, empty chat answers).
  By ``tavrin.evaluation.qa.evaluator.judge_model.configure_judge()``.
- ``pyparsing_lock``: one pyparsing parse at a time (wraps ``ParserElement.parse_string``
  and ``parseString``). By ``tavrin.evaluation.qa.run.run``, before the judgements of a
  concurrent run go in flight together.
- ``tqdm_bars``: no progress bars (replaces ``tqdm.std.tqdm.__init__`` for the length of a
  block, then puts it back). By ``tavrin._console.console_conventions``, around a command.

Each module says why its patch is needed; ``tests/test_integrations.py`` pins the
signature of every patched callable, so that an upgrade that changes one fails there.
"""

from __future__ import annotations

__all__ = ["install"]


def install() -> None:
    """Install what every command runs with (idempotent): tiktoken's bundled encoding data."""
    from tavrin._integrations import tiktoken_data

    tiktoken_data.install()

"""The errors tavrin raises about what its user asked for, under one root: ``TavrinError``.

Each class also keeps the standard exception it has always been (a bad file is a
``ValueError``, an unknown name a ``LookupError``, a store that cannot do what was asked a
``RuntimeError``), so code that catches those goes on catching them. The modules that
raise a class export it under the same name as well (``tavrin._outputs.OutputPathError``,
``tavrin.ask_codebase.store.StoreError``, ...); this module imports nothing of tavrin.

The ``tavrin`` command shows a ``TavrinError`` that reaches it as one line, ``Error:
<message>``, with exit status 1 (``tavrin.cli``). Two kinds live beside their code
rather than here: the ``Fail`` errors of the QA commands, which are also
``click.ClickException``, and the ``RetriesExhausted`` that ``tavrin._llm`` raises, a
subclass of the one below that is also an ``openai.error.OpenAIError``.
"""

from __future__ import annotations

__all__ = [
    "TavrinError",
    # files a command reads or writes
    "OutputPathError",
    "ReportError",
    "QuestionSetError",
    "GroundTruthFileError",
    "LabelsError",
    # comparing reports
    "GateError",
    "ComparisonError",
    # names of classes and models
    "ClassSpecError",
    "UnknownEvaluatorError",
    "UnknownEvaluableError",
    "EmbeddingsError",
    # the vector store
    "StoreError",
    "UnknownSourceError",
    "EmptySourceError",
    "InvalidSourceNameError",
    "StoreUnavailableError",
    # the model service
    "RetriesExhausted",
]


class TavrinError(Exception):
    """An error that tavrin raises on purpose: its message says what went wrong and what to do."""


# ---------------------------------------------------------------- files


class OutputPathError(TavrinError, ValueError):
    """An output path that a command refuses to write."""


class ReportError(TavrinError, ValueError):
    """A report that cannot be read from, or written to, a JSON file."""


class QuestionSetError(TavrinError, ValueError):
    """A question-set file that cannot be read as a question set."""


class GroundTruthFileError(TavrinError, ValueError):
    """A ground-truth file that cannot be read; the message names the file and line."""


class LabelsError(TavrinError, ValueError):
    """A labels file that cannot be read, or that names what the reports do not hold."""


# ---------------------------------------------------------------- comparing reports


class GateError(TavrinError, ValueError):
    """A gate that is written wrongly or names what the reports do not hold."""


class ComparisonError(TavrinError, ValueError):
    """Reports that cannot be compared (different question sets, nothing in common)."""


# ---------------------------------------------------------------- names


class ClassSpecError(TavrinError, LookupError):
    """A "module:ClassName" that does not name a class of the right kind."""


class UnknownEvaluatorError(TavrinError, LookupError):
    """No evaluator is registered under the name asked for."""


class UnknownEvaluableError(TavrinError, LookupError):
    """No subject is registered under the name asked for."""


class EmbeddingsError(TavrinError, ValueError):
    """A name that gives no embedding model: unknown, not importable, or not available here."""


# ---------------------------------------------------------------- the vector store


class StoreError(TavrinError, RuntimeError):
    """The vector store cannot do what was asked; the message says what to do."""


class UnknownSourceError(StoreError, LookupError):
    """No source of that name has been indexed."""


class EmptySourceError(StoreError):
    """A source with no documents: nothing to index, or nothing to search."""


class InvalidSourceNameError(StoreError, ValueError):
    """A source name that cannot name a collection."""


class StoreUnavailableError(StoreError):
    """The store cannot be opened or written now: an unreachable server, or a source or
    folder that another process is using."""


# ---------------------------------------------------------------- the model service


class RetriesExhausted(TavrinError):
    """A request that still failed after every retry allowed (its text says why)."""

"""The errors tavrin raises about what its user asked for, under one root: ``TavrinError``.

Each class also keeps the standard exception it has always been (a bad file is a
``ValueError``, an unknown name a ``LookupError``, a store that cannot do what was asked a
``RuntimeError``), so code that catches those goes on catching them. The modules that
raise a class export it under the same name as well (``tavrin._outputs.OutputPathError``,
``tavrin.ask_codebase.store.StoreError``, ...); this module imports nothing of tavrin.

The ``tavrin`` command shows a ``TavrinError`` that reaches it as one line, ``Error:
<message>``, with exit status 1 (``tavrin.cli``); a command of
``tavrin.commands.base.Command`` shows an ``OptionError`` as a usage error, with its usage
line and exit status 2, and does the rest as the group does when it runs alone. Two kinds live beside their code
rather than here: the ``Fail`` errors of the QA commands, which are also
``click.ClickException``, and the ``RetriesExhausted`` that ``tavrin._llm`` raises, a
subclass of the one below that is also an ``openai.error.OpenAIError``.
"""

from __future__ import annotations

from typing import Optional

__all__ = [
    "TavrinError",
    # what a command was asked
    "OptionError",
    "SettingError",
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
    "RetrieverError",
    "MissingExtraError",
    # the vector store
    "StoreError",
    "UnknownSourceError",
    "EmptySourceError",
    "InvalidSourceNameError",
    "StoreUnavailableError",
    # the model service
    "ModelRequestError",
    "RetriesExhausted",
]


class TavrinError(Exception):
    """An error that tavrin raises on purpose: its message says what went wrong and what to do."""


# ---------------------------------------------------------------- what a command was asked


class OptionError(TavrinError, ValueError):
    """Options of a command that do not go together, or a value of one that it refuses.

    The ``tavrin`` commands show it as click shows a usage error: the command's usage line,
    then ``Error: <message>``, exit status 2. ``param_hint`` names the option or argument
    when the error is about one value ("--threshold"); the line then reads ``Invalid value
    for <param_hint>: <message>``.
    """

    def __init__(self, message: str, param_hint: Optional[str] = None) -> None:
        super().__init__(message)
        self.message = message
        self.param_hint = param_hint


class SettingError(TavrinError, ValueError):
    """A setting that a command needs and cannot work with: an API key that is not set, a
    model context too small for the prompt. The message says what to set."""


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


class RetrieverError(TavrinError, ValueError):
    """A retriever that cannot be made or searched as asked: a "module:Class" that is not a
    retriever or fails to build, or a stored source that cannot be searched."""


class MissingExtraError(TavrinError, ImportError):
    """An optional extra that is not installed; the message says how to install it."""


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


class ModelRequestError(TavrinError):
    """A request to the model service that failed, in the words of the command that made it."""


class RetriesExhausted(TavrinError):
    """A request that still failed after every retry allowed (its text says why)."""

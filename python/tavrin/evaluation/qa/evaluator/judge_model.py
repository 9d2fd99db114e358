"""The judges' shared model, pointed at the endpoint and model in force; and the judge
models of a jury, each asked in its turn."""

from __future__ import annotations

import contextlib
import contextvars
import importlib
import os
from dataclasses import dataclass
from typing import Any, Iterator, List, Optional, Sequence, Tuple

from tavrin import _llm
from tavrin._integrations import guidance_openai

__all__ = ["Judge", "JudgeProgram", "configure_judge", "configure_jury", "judging_with"]


def configure_judge(model: Optional[str] = None, cache: bool = True) -> Tuple[str, str]:
    """Point the judges' shared model at the endpoint and model in force; return both.

    The model is ``model``, else ``$TAVRIN_JUDGE_MODEL``, else gpt-4. The endpoint and key
    are read from ``OPENAI_API_BASE`` and ``OPENAI_API_KEY`` now (not when the judge
    module was imported). guidance's own throttle of 60 calls a minute is lifted: the
    limit of ``configure(rpm=...)`` applies instead. ``cache=False`` asks the model every
    time.
    """
    import openai

    from tavrin.evaluation.qa.evaluator.llm_helper import conf  # builds the model when first imported

    model = model or os.environ.get(_llm.JUDGE_MODEL_ENV) or _llm.DEFAULT_JUDGE_MODEL
    endpoint = _llm.current_endpoint()
    openai.api_base = endpoint
    key = os.environ.get("OPENAI_API_KEY")
    if key:
        openai.api_key = key
    _point(conf.chat_gpt, model, endpoint, key, cache)
    return endpoint, model


def _point(llm: Any, model: str, endpoint: str, key: Optional[str], cache: bool) -> None:
    """Make the guidance model ``llm`` ask ``model`` at ``endpoint``, with an answer cache of its own."""
    llm.model_name = model
    llm.api_base = endpoint
    if key:
        llm.api_key = key
    llm.chat_mode = True  # the judges' programs are written in chat roles
    llm.cache = _llm.KeyedCache(_llm.judge_cache_dir(), endpoint, model) if cache else _llm.NoCache()
    guidance_openai.install(llm)


# ---------------------------------------------------------------- juries


@dataclass(frozen=True)
class Judge:
    """One judge model of a jury: its name and the guidance model that asks it."""

    model: str
    llm: Any


class _Turn:
    """The judge whose turn it is on this thread, and whether a judge's program asked it."""

    def __init__(self, judge: Judge) -> None:
        self.judge = judge
        self.asked = False


_turn: "contextvars.ContextVar[Optional[_Turn]]" = contextvars.ContextVar("tavrin_judge_turn", default=None)


@contextlib.contextmanager
def judging_with(judge: Judge) -> Iterator[_Turn]:
    """Within the block, the judges' programs called on this thread ask ``judge``'s model;
    the turn it yields says afterwards (``asked``) whether one of them was called.

    Each thread (each judgement of a concurrent run) has its own turn, so judgements with
    different judges may run at once; the shared model is not switched.
    """
    turn = _Turn(judge)
    token = _turn.set(turn)
    try:
        yield turn
    finally:
        _turn.reset(token)


class JudgeProgram:
    """A judge's prompt program that runs on the model of the judge whose turn it is
    (``judging_with``), and on the model it was built with otherwise.

    guidance takes the model of one call from its ``llm`` argument; everything else (the
    template, the other arguments, the executed program returned) is the program's own.
    """

    def __init__(self, program: Any) -> None:
        self.__wrapped__ = program

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        turn = _turn.get()
        if turn is None or "llm" in kwargs:
            return self.__wrapped__(*args, **kwargs)
        turn.asked = True
        return self.__wrapped__(*args, **kwargs, llm=turn.judge.llm)

    def __getattr__(self, name: str) -> Any:
        return getattr(self.__wrapped__, name)


#: The judges' prompt programs, by module: what a jury's turns redirect.
JUDGE_PROGRAMS = {
    "tavrin.evaluation.qa.evaluator.llm_helper.orsk": "classifier_pair",
    "tavrin.evaluation.qa.evaluator.llm_helper.clenter": "classify_single",
    "tavrin.evaluation.qa.evaluator.llm_helper.fennic": "rater",
}


def configure_jury(models: Sequence[str], cache: bool = True) -> List[Judge]:
    """The judges of a jury of ``models``: one guidance model each, at the endpoint and with
    the key in force, each with an answer cache keyed on its own model.

    The judges' prompt programs are made ``JudgeProgram``s (once), so that a judgement
    made inside ``judging_with(judge)`` asks that judge. The shared model is pointed at
    the first model, for whatever else asks it.
    """
    import guidance

    configure_judge(model=models[0], cache=cache)
    endpoint = _llm.current_endpoint()
    key = os.environ.get("OPENAI_API_KEY")
    judges = []
    for model in models:
        # tiktoken knows the default model's encoding, not every server's model names
        llm = guidance.llms.OpenAI(_llm.DEFAULT_JUDGE_MODEL)
        _point(llm, model, endpoint, key, cache)
        judges.append(Judge(model, llm))
    for module_name, name in JUDGE_PROGRAMS.items():
        module = importlib.import_module(module_name)
        program = getattr(module, name)
        if not isinstance(program, JudgeProgram):
            setattr(module, name, JudgeProgram(program))
    return judges

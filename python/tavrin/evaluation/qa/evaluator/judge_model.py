"""The judges' shared model, pointed at the endpoint and model in force."""

from __future__ import annotations

import os
from typing import Optional, Tuple

from tavrin import _llm
from tavrin._integrations import guidance_openai

__all__ = ["configure_judge"]


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
    llm = conf.chat_gpt
    llm.model_name = model
    llm.api_base = endpoint
    if key:
        llm.api_key = key
    llm.chat_mode = True  # the judges' programs are written in chat roles
    llm.cache = _llm.KeyedCache(_llm.judge_cache_dir(), endpoint, model) if cache else _llm.NoCache()
    guidance_openai.install(llm)
    return endpoint, model

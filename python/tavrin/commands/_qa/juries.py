"""A jury of judge models from the command line: ``--judge-model`` given twice or more."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

from tavrin.commands._qa.common import Fail


def jury_of(judge_model: Tuple[str, ...]) -> Optional[List[str]]:
    """The jury's models, when ``--judge-model`` names two or more; None for one judge."""
    if len(judge_model) < 2:
        return None
    models = [model.strip() for model in judge_model]
    if any(not model for model in models):
        raise Fail("--judge-model needs a model name, got an empty one")
    for model in models:
        if models.count(model) > 1:
            raise Fail(f"--judge-model names {model} twice; a jury's judges are different models")
    return models


def resumed_jury(report: Any, json_path: str, judge_model: Tuple[str, ...]) -> Tuple[str, ...]:
    """The judge models a resumed run uses: the report's jury, which ``--judge-model`` may
    only repeat; a report of one judge cannot be continued by a jury."""
    from tavrin.evaluation.qa.jury import jury_models

    recorded = jury_models(report)
    given = jury_of(judge_model) if judge_model else None
    if recorded is None:
        if given is not None:
            raise Fail(f"{json_path} was judged by one judge model; a jury cannot continue it")
        return judge_model
    if judge_model and list(judge_model) != recorded:
        raise Fail(
            f"{json_path} was judged by the jury {', '.join(recorded)}; resume it with no --judge-model "
            "or with those, in that order"
        )
    return tuple(recorded)


def empanel_jury(evaluation: Any, models: Optional[List[str]], no_cache: bool, extras: Dict[str, Any]) -> None:
    """Have ``evaluation``'s evaluators judge with the jury ``models`` (none: one judge, as
    configured), and name the jury in the report (``extras``)."""
    if not models:
        return
    from tavrin.evaluation.qa.evaluator.judge_model import configure_jury
    from tavrin.evaluation.qa.jury import empanel

    empanel(evaluation, configure_jury(models, cache=not no_cache))
    extras["judge_models"] = list(models)

"""Where ``run_concurrently`` was found before the run package (``tavrin.evaluation.qa.run``)."""

from tavrin.evaluation.qa.run import DEFAULT_DRAIN_TIMEOUT, run_concurrently
from tavrin.evaluation.qa.run.concurrent import serialise_parsing

__all__ = ["DEFAULT_DRAIN_TIMEOUT", "run_concurrently", "serialise_parsing"]

"""The concurrent run, by its earlier name: it lives in ``tavrin.evaluation.qa.run.concurrent``."""

from tavrin.evaluation.qa.run.concurrent import DEFAULT_DRAIN_TIMEOUT, run_concurrently, serialise_parsing

__all__ = ["DEFAULT_DRAIN_TIMEOUT", "run_concurrently", "serialise_parsing"]

"""The ``ground-truth`` commands, which live in ``tavrin.commands.ground_truth``."""

from tavrin.commands.ground_truth import from_git, ground_truth

__all__ = ["from_git", "ground_truth"]

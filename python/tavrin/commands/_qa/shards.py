"""``--shard K/N``: a stable split of a question set's cases by case id."""

from __future__ import annotations

import hashlib
from typing import Any, Optional, Tuple

from tavrin.commands._qa.common import (
    Fail,
)


def parse_shard(value: Optional[str]) -> Optional[Tuple[int, int]]:
    if value is None:
        return None
    k, sep, n = value.partition("/")
    try:
        shard, count = int(k), int(n)
    except ValueError:
        shard = count = 0
    if not sep or count < 1 or not 1 <= shard <= count:
        raise Fail(f"--shard {value!r}: write K/N with 1 <= K <= N, e.g. 2/4")
    return shard, count


def in_shard(case_id: Any, shard: Tuple[int, int]) -> bool:
    """Whether the case belongs to shard K of N: a stable split by case id."""
    digest = hashlib.sha256(str(case_id).encode("utf-8")).digest()
    return int.from_bytes(digest[:8], "big") % shard[1] == shard[0] - 1


def _apply_shard(evaluation: Any, shard: Optional[Tuple[int, int]]) -> None:
    if shard is not None:
        evaluation.select(lambda case: in_shard(case.id, shard))

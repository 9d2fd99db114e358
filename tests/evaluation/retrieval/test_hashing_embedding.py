"""The hashing embedding of source code, checked against a plain Python twin of its rule."""

import math

import pytest

from tavrin.evaluation.retrieval.hashing_embedding import embed_texts, tokenize

MASK = (1 << 64) - 1


def fnv1a(text: str) -> int:
    h = 0xCBF29CE484222325
    for byte in text.encode("utf-8"):
        h = ((h ^ byte) * 0x100000001B3) & MASK
    return h


def twin_embed(text: str, dim: int) -> list[float]:
    """Each distinct token adds a signed 1 + log(count) to its hashed bucket; the sum is L2-normalised."""
    counts: dict[str, int] = {}
    for token in tokenize(text):
        counts[token] = counts.get(token, 0) + 1
    out = [0.0] * dim
    for token in sorted(counts):
        h = fnv1a(token)
        m = ((h ^ (h >> 29)) * 0xBF58476D1CE4E5B9) & MASK
        m ^= m >> 32
        out[m % dim] += (-1.0 if m >> 63 else 1.0) * (1.0 + math.log(counts[token]))
    norm = math.sqrt(sum(x * x for x in out))
    return [x / norm for x in out] if norm else out


# repeated tokens (weights above 1), plural folding and split identifiers
TEXT = "def load_json(path):\n    # loads json, json and more JSON from paths\n    return json.load(open(path))\n"


@pytest.mark.parametrize("dim", [1, 7, 64, 256])
def test_embedding_follows_the_log_count_rule(dim: int) -> None:
    [got] = embed_texts([TEXT], dim)
    assert got == pytest.approx(twin_embed(TEXT, dim), abs=1e-12)


def test_embedding_of_a_fixed_text_is_pinned() -> None:
    # The same vector on every platform and standard library: the features
    # are summed in sorted token order, so no hash-map order leaks into it.
    [got] = embed_texts([TEXT], 32)
    pinned = {13: -0.439687287529, 22: -0.273193072024, 23: -0.273193072024, 26: -0.573326338128, 28: -0.573326338128}
    assert got == pytest.approx([pinned.get(i, 0.0) for i in range(32)], abs=1e-12)

"""Merging the shards' answers to one query into the answer one store would give."""

import heapq
import itertools
import math
import sys
from collections.abc import Callable, Sequence
from typing import Any, TypeVar

# (id, score) or (id, score, payload): only the score at position 1 is read.
Entry = TypeVar("Entry", bound=tuple[Any, ...])

_HIGHER_IS_BETTER = {"cosine": True, "dot_product": True, "dot": True,
                     "euclidean": False, "l2": False}


def higher_is_better(metric: str) -> bool:
    """Whether a greater score ranks first under a metric name the stores accepted."""
    return _HIGHER_IS_BETTER[metric.lower()]


def _order_key(higher_first: bool) -> Callable[[tuple[Any, ...]], tuple[bool, float]]:
    # NaN compares neither way, which would break the heap's order: it gets a key of its own
    # that sorts after every number, as the stores put NaN scores last.
    if higher_first:
        return lambda entry: (True, 0.0) if math.isnan(entry[1]) else (False, -entry[1])
    return lambda entry: (True, 0.0) if math.isnan(entry[1]) else (False, entry[1])


def merge_answers(answers: Sequence[list[Entry]], limit: int, higher_first: bool) -> list[Entry]:
    """The best `limit` entries of the shards' answers, each already best first.

    heapq.merge is stable: among equal keys it yields the earlier shard's entries first and
    keeps each shard's own order, so ties fall by shard order, then by the shard's order.
    """
    merged = heapq.merge(*answers, key=_order_key(higher_first))
    # islice takes at most sys.maxsize; no answer is that long.
    return list(itertools.islice(merged, min(limit, sys.maxsize)))

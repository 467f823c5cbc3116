"""Pruning by bounds changes no answer: exact-route searches with TARNWICK_PRUNE=0 in a child
process return the same ids and score bits, and the private counter sees the graph walk's
decisions. (Graphs differ between processes, whose levels are drawn at random, so the graph
route is compared with fixed levels in the C++ tests.)"""

import json
import os
import struct
import subprocess
import sys

import pytest

import tarnwick

# Builds stores searched exactly (under 500 points, or a tenant under 500 in a larger one),
# answers a fixed set of queries under every metric and prints the answers with their bits.
CHILD = r"""
import json, random, struct, sys
import tarnwick
rng = random.Random(5)
def vector(i):
    if i % 37 == 3:
        return [0.0] * 16
    if i % 41 == 4:
        return [1e20] * 16
    base = random.Random(i % 60 if i % 9 == 2 else i)
    return [base.gauss(0, 1) for _ in range(16)]
answers = []
for count in (300, 900):
    store = tarnwick.VectorStorage()
    for i in range(count):
        store.upsert(i, vector(i), {"tenant_id": "a"} if i % 2 else None)
    for q in range(8):
        query = vector(10_000 + q) if q != 7 else vector(2)
        for metric in ("cosine", "dot", "euclidean"):
            for tenant in ((None, "a") if count < 500 else ("a",)):
                found = store.search(query, limit=12, metric=metric, tenant_id=tenant)
                answers.append([(i, struct.pack("<f", s).hex()) for i, s in found])
print(json.dumps(answers))
"""


def run_child(prune):
    env = dict(os.environ)
    env["TARNWICK_PRUNE"] = prune
    out = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def test_answers_are_the_same_with_pruning_off():
    assert run_child("1") == run_child("0")


def test_bound_decisions_counts_and_resets():
    store = tarnwick.VectorStorage()
    rng = __import__("random").Random(3)
    for i in range(800):
        store.upsert(i, [rng.gauss(0, 1) for _ in range(32)], None)
    tarnwick._bound_decisions()
    store.search([rng.gauss(0, 1) for _ in range(32)], limit=5, metric="cosine")
    by_bound, exact = tarnwick._bound_decisions()
    assert exact > 0 and by_bound >= 0
    assert tarnwick._bound_decisions() == (0, 0)

"""Two builds of the extension module measured in turns in one process, for a change whose
effect is smaller than the drift between runs on a shared machine.

Usage: python bench/compare_builds.py OLD.so NEW.so [--set clustered]
       [--mode search|upsert|delete] [--rounds 10] [--points 20000]

Copy each build's module file aside first (for instance from the build directory after
`pip install -C build-dir=build/py .`). Both load side by side: their files differ, so each
keeps its own copy of the module's code and state.
- search: both load one snapshot of the set's 100,000 points (built once by OLD and kept
  under bench/results), must give the same answers, then take turns in chunks of CHUNK
  queries, the first in each pair of turns alternating;
- upsert: each builds a store of `--points` points one `upsert` per point, in turns;
- delete: each loads that snapshot and deletes the same `--points` random points one call
  each, in turns of CHUNK deletes; the stores they leave must save the same snapshot.
Prints NEW's time over OLD's per round and their geometric mean: below 1, NEW is faster.
"""

import argparse
import importlib.machinery
import importlib.util
import math
import tempfile
import time
from pathlib import Path

import numpy as np

import datasets

CHUNK = 50


def load_build(path):
    loader = importlib.machinery.ExtensionFileLoader("tarnwick", path)
    spec = importlib.util.spec_from_file_location("tarnwick", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def snapshot_of(build, dataset):
    """The set's store built by `build`, saved once under bench/results."""
    snapshot = datasets.RESULTS / f"compare-{dataset.name}.snapshot"
    if not snapshot.exists():
        store = build.VectorStorage()
        for i, vector in enumerate(dataset.points):
            store.upsert(i, vector, None)
        store.save(str(snapshot))
    return snapshot


def loaded(builds, snapshot):
    stores = []
    for build in builds:
        store = build.VectorStorage()
        store.load(str(snapshot))
        stores.append(store)
    return stores


def search_rounds(builds, dataset, rounds):
    stores = loaded(builds, snapshot_of(builds[0], dataset))
    queries = list(dataset.queries)
    for query in queries[:100]:
        if stores[0].search(query, 10, "cosine") != stores[1].search(query, 10, "cosine"):
            raise SystemExit("the two builds answer differently")
    chunks = [queries[i:i + CHUNK] for i in range(0, len(queries), CHUNK)]
    for r in range(rounds):
        seconds = [0.0, 0.0]
        for c, chunk in enumerate(chunks):
            for side in (0, 1) if (c + r) % 2 == 0 else (1, 0):
                start = time.perf_counter()
                for query in chunk:
                    stores[side].search(query, 10, "cosine")
                seconds[side] += time.perf_counter() - start
        yield seconds


def upsert_rounds(builds, dataset, rounds, points):
    for r in range(rounds):
        seconds = [0.0, 0.0]
        for side in (0, 1) if r % 2 == 0 else (1, 0):
            store = builds[side].VectorStorage()
            start = time.perf_counter()
            for i in range(points):
                store.upsert(i, dataset.points[i], None)
            seconds[side] = time.perf_counter() - start
        yield seconds


def delete_rounds(builds, dataset, rounds, points):
    snapshot = snapshot_of(builds[0], dataset)
    for r in range(rounds):
        stores = loaded(builds, snapshot)
        doomed = [int(i) for i in np.random.default_rng(r).permutation(len(dataset.points))[:points]]
        seconds = [0.0, 0.0]
        for c, start_at in enumerate(range(0, points, CHUNK)):
            for side in (0, 1) if (c + r) % 2 == 0 else (1, 0):
                start = time.perf_counter()
                for i in doomed[start_at:start_at + CHUNK]:
                    stores[side].delete(i)
                seconds[side] += time.perf_counter() - start
        with tempfile.TemporaryDirectory() as tmp:
            for side, store in enumerate(stores):
                store.save(f"{tmp}/{side}")
            if Path(f"{tmp}/0").read_bytes() != Path(f"{tmp}/1").read_bytes():
                raise SystemExit("the two builds leave different graphs")
        yield seconds


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--set", default="clustered", choices=datasets.FAMILIES)
    parser.add_argument("--mode", default="search", choices=("search", "upsert", "delete"))
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--points", type=int, default=20_000)
    args = parser.parse_args()
    builds = [load_build(args.old), load_build(args.new)]
    dataset = datasets.load(args.set, datasets.FULL_POINTS, datasets.FULL_QUERIES)
    points = min(args.points, len(dataset.points))
    rounds = {"search": lambda: search_rounds(builds, dataset, args.rounds),
              "upsert": lambda: upsert_rounds(builds, dataset, args.rounds, points),
              "delete": lambda: delete_rounds(builds, dataset, args.rounds, points)}[args.mode]()
    ratios = []
    for old, new in rounds:
        ratios.append(new / old)
        print(f"old {old:.3f} s, new {new:.3f} s: {new / old:.3f}", flush=True)
    mean = math.exp(sum(map(math.log, ratios)) / len(ratios))
    print(f"{dataset.name} {args.mode}: new/old time {mean:.4f} (geometric mean of {len(ratios)} rounds)")


if __name__ == "__main__":
    main()

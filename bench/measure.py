"""Timing, recall and resident-memory helpers shared by every library's cases."""

import gc
import os
import time
import timeit
from pathlib import Path

import numpy as np

_STATUS = Path("/proc/self/status")
# --quick checks that every case runs: one pass each, so its timings are rough.
QUICK = bool(os.environ.get("TARNWICK_BENCH_QUICK"))
PASSES, MIN_SECONDS = (1, 0.0) if QUICK else (3, 1.0)
# Every peer's ef grid: fine enough that "the smallest ef reaching tarnwick's recall" is not
# rounded up far in tarnwick's favour.
PEER_EF = (16, 24, 32, 48, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 320, 384)


def _status_kib(field):
    for line in _STATUS.read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"{field} missing from {_STATUS}")


class PeakGrowth:
    """Growth of the process's peak resident set across a `with` block, in bytes.

    The kernel's high-water mark is reset on entry, so earlier peaks (loading data,
    another case) do not hide the block's own.
    """

    def __enter__(self):
        gc.collect()
        Path("/proc/self/clear_refs").write_text("5")
        self.start = _status_kib("VmRSS")
        return self

    def __exit__(self, *exc):
        self.bytes = (_status_kib("VmHWM") - self.start) * 1024
        return False


def throughput(count, run):
    """Calls run() once and returns count / elapsed seconds."""
    start = time.perf_counter()
    run()
    return count / (time.perf_counter() - start)


def timed_queries(queries, search_one, passes=PASSES, min_seconds=MIN_SECONDS):
    """Runs search_one(q) for every query in turn, at least `passes` times and for at least
    `min_seconds` in all; returns (results, best queries/s).

    The best pass is the one least disturbed by other work on the machine. Passes of a small
    store take milliseconds, so a fixed few of them could all fall inside one burst of it.
    """
    best, spent, done = 0.0, 0.0, 0
    while done < passes or spent < min_seconds:
        start = time.perf_counter()
        results = [search_one(q) for q in queries]
        elapsed = time.perf_counter() - start
        best, spent, done = max(best, len(queries) / elapsed), spent + elapsed, done + 1
    return results, best


def recall_at_k(found_ids, truth):
    """Mean share of each query's true top-k that the library returned."""
    hits = sum(len(set(map(int, found)) & set(map(int, expected)))
               for found, expected in zip(found_ids, truth))
    return hits / truth.size if truth.size else float("nan")


# Measure names: the rows of the report.
INSERT = "insert, points/s"
MEMORY = "peak RSS growth, bytes/point"
QPS = "single-query search, queries/s"
RECALL = "recall@10"
BATCH_QPS = "batch search, queries/s"
SCAN_BYTES = "scan, vector bytes read/s"
BANDWIDTH = "memory copy, bytes read+written/s"
CALL_US = "search call, microseconds"
BOUND_SHARE = "neighbours decided by bound, share"


def threads_from_environment():
    """Worker threads for this process's batch case, as run.py sets them (TARNWICK_WORKERS)."""
    return int(os.environ.get("TARNWICK_WORKERS", "1"))


def batch_rows(subject, dataset, search_all, ids_of, passes=2):
    """Batch QPS (best of `passes` calls answering every query at once) and recall@10."""
    best, results = 0.0, None
    for _ in range(passes):
        start = time.perf_counter()
        results = search_all()
        best = max(best, len(dataset.queries) / (time.perf_counter() - start))
    recall = recall_at_k(ids_of(results), dataset.truth)
    return [(subject, BATCH_QPS, best), (subject, RECALL, recall)]


def microseconds_per_call(call, calls=20_000, repeats=5):
    """Best of `repeats` runs of `calls` calls, in microseconds per call."""
    best = min(timeit.repeat(call, number=calls, repeat=repeats))
    return best / calls * 1e6


def build_rows(subject, count, build):
    """Times build(), which inserts `count` points, and the peak memory it adds."""
    with PeakGrowth() as memory:
        rate = throughput(count, build)
    return [(subject, INSERT, rate), (subject, MEMORY, memory.bytes / count)]


def search_rows(subject, dataset, queries, search_one, ids_of):
    """Single-query QPS and recall@10 of search_one over `queries` (dataset.queries in a handy form)."""
    results, qps = timed_queries(queries, search_one)
    recall = recall_at_k([ids_of(r) for r in results], dataset.truth)
    return [(subject, QPS, qps), (subject, RECALL, recall)]


def curve_rows(template, dataset, queries, searcher_at, ids_of, grid=PEER_EF):
    """search_rows at each ef of `grid`; searcher_at(ef) sets the width and returns search_one.

    Subjects are `template` with EF replaced by the ef, as report.py's curves expect.
    """
    rows = []
    for ef in grid:
        rows += search_rows(template.replace("EF", str(ef)), dataset, queries, searcher_at(ef), ids_of)
    return rows

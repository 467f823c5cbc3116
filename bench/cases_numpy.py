"""numpy as the exact-scan baseline: a normalised float32 matrix times the query, then
argpartition; and the machine's memory bandwidth as a large copy."""

import time

import numpy as np
from threadpoolctl import threadpool_info

from cases_tarnwick import SCAN_QUERIES
from measure import BANDWIDTH, RECALL, recall_at_k, timed_queries

COPY_BYTES = 1 << 30


def _blas():
    info = next((i for i in threadpool_info() if i.get("user_api") == "blas"), {})
    return f"{info.get('internal_api', 'BLAS')} {info.get('architecture', '')}, {info.get('num_threads')} thread(s)"


def scan(dataset):
    """Single queries, exact cosine by one matrix-vector product each."""
    unit = dataset.points / np.linalg.norm(dataset.points, axis=1, keepdims=True)

    def search_one(query):
        scores = unit @ (query / np.linalg.norm(query))
        top = np.argpartition(-scores, 9)[:10]
        return top[np.argsort(-scores[top], kind="stable")]

    queries = dataset.queries[:SCAN_QUERIES]
    results, qps = timed_queries(queries, search_one, passes=2)
    subject = f"numpy brute force ({_blas()})"
    source = np.ones(COPY_BYTES // 8)
    target = np.empty_like(source)
    best = min(_timed_copy(source, target) for _ in range(3))
    return [(subject, "single-query search, queries/s", qps),
            (subject, RECALL, recall_at_k(results, dataset.truth[:SCAN_QUERIES])),
            ("numpy copy of 1 GiB", BANDWIDTH, 2 * COPY_BYTES / best)]


def _timed_copy(source, target):
    start = time.perf_counter()
    np.copyto(target, source)
    return time.perf_counter() - start


CASES = {"scan": scan}

"""FAISS IndexHNSWFlat as a graph peer: M 16, efConstruction 64, inner product on unit
vectors (cosine), one OpenMP thread.

Points and queries are normalised before the timers start, which leaves that work out of
FAISS's figures.
"""

import faiss
import numpy as np

from measure import build_rows, curve_rows


def _unit(vectors):
    return np.ascontiguousarray(vectors / np.linalg.norm(vectors, axis=1, keepdims=True), dtype=np.float32)


def graph(dataset):
    """One add call for all points; then single queries at each efSearch."""
    faiss.omp_set_num_threads(1)
    index = faiss.IndexHNSWFlat(dataset.points.shape[1], 16, faiss.METRIC_INNER_PRODUCT)
    index.hnsw.efConstruction = 64
    points = _unit(dataset.points)
    rows = build_rows("faiss IndexHNSWFlat add, 1 thread", len(points), lambda: index.add(points))
    queries = [row[None, :] for row in _unit(dataset.queries)]

    def at(ef):
        index.hnsw.efSearch = ef
        return lambda q: index.search(q, 10)

    return rows + curve_rows("faiss IndexHNSWFlat search, efSearch EF", dataset, queries, at,
                             lambda found: found[1][0])


CASES = {"graph": graph}

"""USearch as a graph peer: connectivity 16, expansion_add 64, cosine on float32, one thread."""

import numpy as np
from usearch.index import Index

from measure import build_rows, curve_rows


def graph(dataset):
    """One add call for all points; then single queries at each expansion_search."""
    index = Index(ndim=dataset.points.shape[1], metric="cos", dtype="f32", connectivity=16, expansion_add=64)
    keys = np.arange(len(dataset.points), dtype=np.uint64)
    rows = build_rows("usearch add, 1 thread", len(keys), lambda: index.add(keys, dataset.points, threads=1))

    def at(ef):
        index.expansion_search = ef
        return lambda q: index.search(q, 10, threads=1)

    return rows + curve_rows("usearch search, expansion_search EF", dataset, dataset.queries, at,
                             lambda found: found.keys)


CASES = {"graph": graph}

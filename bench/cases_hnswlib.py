"""hnswlib as the graph baseline: same graph size (M 16, ef_construction 64); one thread, or
as many as run.py gives a batch case."""

import hnswlib

import datasets
from measure import CALL_US, PEER_EF, batch_rows, build_rows, curve_rows, microseconds_per_call, threads_from_environment


def index_path(dataset):
    """Where the bulk case leaves its index for the batch cases."""
    return datasets.RESULTS / f"hnswlib-{dataset.name}.bin"


def _empty_index(dataset):
    index = hnswlib.Index(space="cosine", dim=dataset.points.shape[1])
    index.init_index(max_elements=len(dataset.points), ef_construction=64, M=16, random_seed=100)
    index.set_num_threads(1)
    return index


def bulk(dataset):
    """One add_items call for all points; then single queries at each ef."""
    index = _empty_index(dataset)
    rows = build_rows("hnswlib add_items bulk, 1 thread", len(dataset.points),
                         lambda: index.add_items(dataset.points, num_threads=1))

    def at(ef):
        index.set_ef(ef)
        return lambda q: index.knn_query(q, k=10, num_threads=1)

    rows += curve_rows("hnswlib knn_query, ef EF", dataset, dataset.queries, at, lambda found: found[0][0])
    index.save_index(str(index_path(dataset)))
    return rows


def batch(dataset):
    """knn_query of every query at once, at each ef, on the saved index."""
    threads = threads_from_environment()
    index = hnswlib.Index(space="cosine", dim=dataset.points.shape[1])
    index.load_index(str(index_path(dataset)), max_elements=len(dataset.points))
    rows = []
    for ef in PEER_EF:
        index.set_ef(ef)
        rows += batch_rows(f"hnswlib knn_query batch, ef {ef}, {threads} thread(s)", dataset,
                           lambda: index.knn_query(dataset.queries, k=10, num_threads=threads),
                           lambda found: found[0])
    return rows


def overhead(dataset):
    """Microseconds per knn_query call with one float32 row, on the small index."""
    index = _empty_index(dataset)
    index.add_items(dataset.points, num_threads=1)
    query = dataset.queries[0]
    return [(f"hnswlib knn_query, numpy float32, {dataset.name}", CALL_US,
             microseconds_per_call(lambda: index.knn_query(query, k=10, num_threads=1)))]


def per_point(dataset):
    """One add_items call per numpy row, the way a Python caller streams points in."""
    index = _empty_index(dataset)

    def build():
        for i, row in enumerate(dataset.points):
            index.add_items(row, i, num_threads=1)

    rows = build_rows("hnswlib add_items per point", len(dataset.points), build)
    return rows


CASES = {"bulk": bulk, "per_point": per_point, "batch": batch, "overhead": overhead}

"""tarnwick: one upsert per point (the only way in), single-query and batch cosine search,
exact scan of a large store, and the Python overhead of one search call."""

import array

import numpy as np
import tarnwick
from tarnwick import VectorStorage

import datasets
import snapshot_graph
from measure import (BOUND_SHARE, CALL_US, RECALL, SCAN_BYTES, batch_rows, build_rows, curve_rows,
                     microseconds_per_call, recall_at_k, threads_from_environment, timed_queries)

EF_SEARCH = (16, 24, 32, 48, 64, 96, 128, 192, 256)
DEFAULT_EF = 32  # a new store's own
SCAN_QUERIES = 200  # each exact query reads every vector of the store


def snapshot_path(dataset):
    """Where the lists case leaves its store for the cases that only search it."""
    return datasets.RESULTS / f"store-{dataset.name}.snapshot"


def _loaded(data):
    path = datasets.RESULTS / "store-rewritten.snapshot"
    path.write_bytes(data)
    store = VectorStorage()
    store.load(str(path))
    path.unlink()
    return store


def _ids(answers):
    return [[point_id for point_id, _ in answer] for answer in answers]


def from_lists(dataset):
    """upsert with a Python list per call; saves the store for the cases that only search it."""
    vectors = dataset.points.tolist()  # built before the timer and the memory baseline
    store = VectorStorage()

    def build():
        for i, vector in enumerate(vectors):
            store.upsert(i, vector, None)

    rows = build_rows("tarnwick upsert per point, list", len(vectors), build)
    del vectors
    store.save(str(snapshot_path(dataset)))
    return rows


def from_rows(dataset):
    """upsert with each row of a 2-D float32 array, as a caller holding numpy data would."""
    store = VectorStorage()

    def build():
        for i, row in enumerate(dataset.points):
            store.upsert(i, row, None)

    rows = build_rows("tarnwick upsert per point, numpy row", len(dataset.points), build)
    return rows


def _bound_share(store, queries):
    """Share of the neighbour decisions of one pass over `queries` that a bound settled, or
    None where this build does not count them."""
    if not hasattr(tarnwick, "_bound_decisions"):
        return None
    tarnwick._bound_decisions()  # resets this thread's counters
    for q in queries:
        store.search(q, 10, "cosine")
    by_bound, exact = tarnwick._bound_decisions()
    return by_bound / (by_bound + exact) if by_bound + exact else None


def _saved_store(dataset):
    """The store the lists case saved."""
    store = VectorStorage()
    store.load(str(snapshot_path(dataset)))
    return store


def search(dataset):
    """Single queries at each ef_search on the saved store, and the share decided by bound at
    a new store's own ef_search."""
    store = _saved_store(dataset)
    queries = dataset.queries.tolist()  # converted up front: time the search, not numpy
    rows = curve_rows("tarnwick search, ef EF", dataset, queries,
                      lambda ef: lambda q: store.search(q, 10, "cosine", ef_search=ef),
                      lambda found: [point_id for point_id, _ in found], EF_SEARCH)
    share = _bound_share(store, queries)
    return rows + [(f"tarnwick search, ef {DEFAULT_EF}", BOUND_SHARE, share)]


def batch(dataset):
    """batch_search of every query at once, on the saved store, with the workers run.py gives."""
    workers = threads_from_environment()
    store = _saved_store(dataset)
    queries = dataset.queries.tolist()
    return batch_rows(f"tarnwick batch_search, ef {DEFAULT_EF}, {workers} worker(s)", dataset,
                      lambda: store.batch_search(queries, 10, "cosine"), _ids)


def scan(dataset):
    """Single queries answered by scanning every point: the saved store without its graph."""
    store = _loaded(snapshot_graph.without_graph(snapshot_path(dataset).read_bytes()))
    queries = dataset.queries[:SCAN_QUERIES].tolist()
    results, qps = timed_queries(queries, lambda q: store.search(q, 10, "cosine"), passes=2)
    subject = "tarnwick exact scan, 1 thread"
    return [(subject, "single-query search, queries/s", qps),
            (subject, RECALL, recall_at_k(_ids(results), dataset.truth[:SCAN_QUERIES])),
            (subject, SCAN_BYTES, qps * dataset.points.nbytes)]


def overhead(dataset):
    """Microseconds per search call on the small store, by query form; an empty store shows
    the binding and conversion alone."""
    store, empty = VectorStorage(), VectorStorage()
    for i, vector in enumerate(dataset.points.tolist()):
        store.upsert(i, vector, None)
    query = dataset.queries[0]
    forms = {"list": query.tolist(), "tuple": tuple(query.tolist()), "numpy float32": query,
             "numpy float64": query.astype(np.float64), "array.array f": array.array("f", query.tobytes())}
    rows = [("tarnwick search, empty list, empty store", CALL_US,
             microseconds_per_call(lambda: empty.search([], 10, "cosine")))]
    for name, vector in forms.items():
        rows.append((f"tarnwick search, {name}, empty store", CALL_US,
                     microseconds_per_call(lambda: empty.search(vector, 10, "cosine"))))
        rows.append((f"tarnwick search, {name}, {dataset.name}", CALL_US,
                     microseconds_per_call(lambda: store.search(vector, 10, "cosine"))))
    return rows


CASES = {"lists": from_lists, "rows": from_rows, "search": search, "batch": batch, "scan": scan,
         "overhead": overhead}

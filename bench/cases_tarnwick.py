"""tarnwick: one upsert per point (the only way in), single-query cosine search."""

from tarnwick import VectorStorage

from measure import build_rows, search_rows


def _search(store, dataset):
    queries = dataset.queries.tolist()  # converted up front: time the search, not numpy
    return search_rows("tarnwick search, ef 32", dataset, queries,
                       lambda q: store.search(q, 10, "cosine"),
                       lambda found: [point_id for point_id, _ in found])


def from_lists(dataset):
    """upsert with a Python list per call; then single queries."""
    vectors = dataset.points.tolist()  # built before the timer and the memory baseline
    store = VectorStorage()

    def build():
        for i, vector in enumerate(vectors):
            store.upsert(i, vector, None)

    rows = build_rows("tarnwick upsert per point, list", len(vectors), build)
    del vectors
    return rows + _search(store, dataset)


def from_rows(dataset):
    """upsert with each row of a 2-D float32 array, as a caller holding numpy data would."""
    store = VectorStorage()

    def build():
        for i, row in enumerate(dataset.points):
            store.upsert(i, row, None)

    rows = build_rows("tarnwick upsert per point, numpy row", len(dataset.points), build)
    return rows


CASES = {"lists": from_lists, "rows": from_rows}

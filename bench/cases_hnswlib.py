"""hnswlib as the graph baseline: same graph size (M 16, ef_construction 64), one thread."""

import hnswlib

from measure import build_rows, search_rows

EF_SEARCH = (32, 64, 128, 256)  # 32 and 64 are compared; the rest place tarnwick on the curve


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
    for ef in EF_SEARCH:
        index.set_ef(ef)
        rows += search_rows(f"hnswlib knn_query, ef {ef}", dataset, dataset.queries,
                            lambda q: index.knn_query(q, k=10, num_threads=1),
                            lambda found: found[0][0])
    return rows


def per_point(dataset):
    """One add_items call per numpy row, the way a Python caller streams points in."""
    index = _empty_index(dataset)

    def build():
        for i, row in enumerate(dataset.points):
            index.add_items(row, i, num_threads=1)

    rows = build_rows("hnswlib add_items per point", len(dataset.points), build)
    return rows


CASES = {"bulk": bulk, "per_point": per_point}

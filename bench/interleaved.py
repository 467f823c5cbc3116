"""Ratios measured side by side: tarnwick and its peers take turns on the same work in one
process, in short alternating chunks, so that a machine whose speed drifts (a shared virtual
machine can change speed by half within minutes) slows every side alike. run.py measures each
library in a process of its own, one after another; on such a machine its ratios can be off
by that much.

Usage: python bench/interleaved.py [--sets clustered,sphere,text] [--rounds 3]

For each set:
- insertion: tarnwick `upsert` and hnswlib `add_items`, each one numpy row per call (the
  graph parameters of run.py), build their graphs in turns of INSERT_CHUNK points;
- search: each peer at the smallest width of measure.PEER_EF whose recall@10 reaches
  tarnwick's at its own ef_search 32; single queries then alternate in chunks of
  SEARCH_CHUNK, `--rounds` passes over the queries.
Writes bench/results/interleaved.md.
"""

import argparse
import os
import platform
import time

import faiss
import hnswlib
import numpy as np
from tarnwick import VectorStorage

import datasets
from measure import PEER_EF, recall_at_k

INSERT_CHUNK = 1_000
SEARCH_CHUNK = 100


def unit(vectors):
    return np.ascontiguousarray(vectors / np.linalg.norm(vectors, axis=1, keepdims=True), dtype=np.float32)


def build_side_by_side(dataset):
    """Both graphs, built in turns; returns them and the seconds each side spent."""
    store = VectorStorage()
    index = hnswlib.Index(space="cosine", dim=dataset.points.shape[1])
    index.init_index(max_elements=len(dataset.points), ef_construction=64, M=16, random_seed=100)
    index.set_num_threads(1)
    spent = {"tarnwick": 0.0, "hnswlib": 0.0}
    for start in range(0, len(dataset.points), INSERT_CHUNK):
        rows = dataset.points[start:start + INSERT_CHUNK]
        # Whoever went first last time goes second now.
        sides = ["tarnwick", "hnswlib"][::1 if start // INSERT_CHUNK % 2 == 0 else -1]
        for side in sides:
            began = time.perf_counter()
            if side == "tarnwick":
                for offset, row in enumerate(rows):
                    store.upsert(start + offset, row, None)
            else:
                for offset, row in enumerate(rows):
                    index.add_items(row, start + offset, num_threads=1)
            spent[side] += time.perf_counter() - began
    return store, index, spent


def faiss_index(dataset):
    faiss.omp_set_num_threads(1)
    index = faiss.IndexHNSWFlat(dataset.points.shape[1], 16, faiss.METRIC_INNER_PRODUCT)
    index.hnsw.efConstruction = 64
    index.add(unit(dataset.points))
    return index


def peers(hnsw, flat, dataset):
    """name -> (set_width(ef), search_one(i) -> ids) for each peer, on query i."""
    rows = list(dataset.queries)
    unit_rows = [row[None, :] for row in unit(dataset.queries)]

    def hnswlib_width(ef):
        hnsw.set_ef(ef)

    def faiss_width(ef):
        flat.hnsw.efSearch = ef

    return {
        "hnswlib knn_query": (hnswlib_width, lambda i: hnsw.knn_query(rows[i], k=10, num_threads=1)[0][0]),
        "faiss IndexHNSWFlat search": (faiss_width, lambda i: flat.search(unit_rows[i], 10)[1][0]),
    }


def equal_recall_width(set_width, search_one, dataset, target):
    """The smallest width on PEER_EF whose recall reaches `target`, and that recall."""
    recall = 0.0
    for ef in PEER_EF:
        set_width(ef)
        recall = recall_at_k([search_one(i) for i in range(len(dataset.queries))], dataset.truth)
        if recall >= target:
            return ef, recall
    return PEER_EF[-1], recall


def search_side_by_side(searchers, count, rounds):
    """Seconds per side for `rounds` passes over the queries, sides alternating per chunk."""
    spent = dict.fromkeys(searchers, 0.0)
    names = list(searchers)
    for turn, start in enumerate(s for _ in range(rounds) for s in range(0, count, SEARCH_CHUNK)):
        shift = turn % len(names)
        for name in names[shift:] + names[:shift]:
            search_one = searchers[name]
            began = time.perf_counter()
            for i in range(start, min(start + SEARCH_CHUNK, count)):
                search_one(i)
            spent[name] += time.perf_counter() - began
    return spent


def measure_set(name, rounds):
    dataset = datasets.load(name, datasets.FULL_POINTS, datasets.FULL_QUERIES)
    print(f"{dataset.name}: building side by side ...", flush=True)
    store, hnsw, build_spent = build_side_by_side(dataset)
    flat = faiss_index(dataset)
    lines = [f"| {dataset.name} | upsert per point / hnswlib add_items per point | "
             f"{len(dataset.points) / build_spent['tarnwick']:,.0f} / "
             f"{len(dataset.points) / build_spent['hnswlib']:,.0f} points/s | "
             f"{build_spent['hnswlib'] / build_spent['tarnwick']:.2f} |"]

    query_lists = dataset.queries.tolist()
    tarnwick_one = lambda i: [point_id for point_id, _ in store.search(query_lists[i], 10, "cosine")]
    ours = recall_at_k([tarnwick_one(i) for i in range(len(query_lists))], dataset.truth)
    searchers, widths = {"tarnwick": tarnwick_one}, {}
    for peer, (set_width, search_one) in peers(hnsw, flat, dataset).items():
        ef, recall = equal_recall_width(set_width, search_one, dataset, ours)
        set_width(ef)
        searchers[peer], widths[peer] = search_one, (ef, recall)
    print(f"{dataset.name}: searching side by side ...", flush=True)
    spent = search_side_by_side(searchers, len(query_lists), rounds)
    queries = rounds * len(query_lists)
    for peer, (ef, recall) in widths.items():
        lines.append(f"| {dataset.name} | search, ef_search 32 (recall {ours:.3f}) / {peer} at ef {ef} "
                     f"(recall {recall:.3f}) | {queries / spent['tarnwick']:,.0f} / "
                     f"{queries / spent[peer]:,.0f} queries/s | {spent[peer] / spent['tarnwick']:.2f} |")
    return lines


def processor():
    """The CPU's model name and family/model numbers, from /proc/cpuinfo."""
    fields = {}
    for line in open("/proc/cpuinfo"):
        key, _, value = line.partition(":")
        fields.setdefault(key.strip(), value.strip())
    return f"{fields.get('model name', platform.machine())} (family {fields.get('cpu family')}, model {fields.get('model')})"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sets", default="clustered,sphere,text")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    began = time.strftime("%Y-%m-%d %H:%M")
    lines = []
    for name in args.sets.split(","):
        lines += measure_set(name, args.rounds)
    report = ["# tarnwick and its peers side by side",
              "",
              f"{began} to {time.strftime('%H:%M')}, {processor()}, {os.cpu_count()} CPUs; "
              f"every ratio is tarnwick's rate over the peer's, both measured in turns in one process.",
              "",
              "| set | measure | rates | tarnwick/peer |",
              "|---|---|---:|---:|"] + lines
    (datasets.RESULTS / "interleaved.md").write_text("\n".join(report) + "\n")
    print("\n".join(report))


if __name__ == "__main__":
    main()

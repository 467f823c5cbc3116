"""tarnwick_ray.ShardedStore against one VectorStorage on this machine: batch_search throughput
and recall@10 of 2 and 4 shards, and the per-call cost of the fan-out on a tiny store.

Usage: python bench/bench_sharded.py [--points 100000] [--queries 1000] [--rounds 3]

Needs numpy and ray beside the installed module. Starts a local Ray cluster with one CPU per
processor. The same clustered points (bench/datasets.py) go into every store; batch timings
are interleaved store by store, round after round, and the best round of each is reported.
The tiny store holds 40 points of dimension 8, so a call's time is almost all overhead.
"""

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np
import ray

sys.path.insert(0, str(Path(__file__).resolve().parent))

import datasets  # noqa: E402
from tarnwick import VectorStorage  # noqa: E402
from tarnwick_ray import ShardedStore  # noqa: E402

LIMIT = 10


def recall(answers, truth):
    found = sum(len({point_id for point_id, _ in answer} & set(row.tolist()))
                for answer, row in zip(answers, truth))
    return found / truth.size


def per_call_microseconds(call, calls):
    call()
    began = time.perf_counter()
    for _ in range(calls):
        call()
    return (time.perf_counter() - began) / calls * 1e6


def row(dataset, measure, subject, value, peer, peer_value, digits):
    ratio = value / peer_value if peer_value else float("nan")
    print(f"| {dataset} | {measure} | {subject} | {value:,.{digits}f} | {peer} | "
          f"{peer_value:,.{digits}f} | {ratio:.2f} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=1_000)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    data = datasets.load("clustered", args.points, args.queries)
    ids = list(range(len(data.points)))
    ray.init(num_cpus=os.cpu_count(), include_dashboard=False, log_to_driver=False,
             configure_logging=False)
    print(f"{data.name}, {len(data.queries)} queries, limit {LIMIT}, cosine; "
          f"{os.cpu_count()} CPUs; ray {ray.__version__}")
    print()
    print("| dataset | measure | subject | value | peer | value | subject/peer |")
    print("|---|---|---|---:|---|---:|---:|")

    single = VectorStorage()
    single.upsert_many(ids, data.points)
    stores = {1: single}
    for shards in (2, 4):
        stores[shards] = ShardedStore(shards)
        stores[shards].upsert_many(ids, data.points)
    names = {shards: "one VectorStorage" if shards == 1 else f"ShardedStore, {shards} shards"
             for shards in stores}

    seconds = {shards: float("inf") for shards in stores}
    for _ in range(args.rounds):
        for shards, store in stores.items():
            began = time.perf_counter()
            store.batch_search(data.queries, LIMIT, "cosine")
            seconds[shards] = min(seconds[shards], time.perf_counter() - began)
    rates = {shards: len(data.queries) / seconds[shards] for shards in stores}
    recalls = {shards: recall(store.batch_search(data.queries, LIMIT, "cosine"), data.truth)
               for shards, store in stores.items()}
    for shards in (2, 4):
        row(data.name, "batch search, queries/s", names[shards], rates[shards],
            names[1], rates[1], 0)
        row(data.name, "recall@10", names[shards], recalls[shards], names[1], recalls[1], 3)
    del stores

    tiny = np.random.default_rng(1).standard_normal((40, 8), dtype=np.float32)
    query = tiny[0].tolist()
    tiny_single = VectorStorage()
    tiny_single.upsert_many(list(range(40)), tiny)
    base_search = per_call_microseconds(lambda: tiny_single.search(query, LIMIT, "cosine"), 2000)
    base_batch = per_call_microseconds(
        lambda: tiny_single.batch_search([query], LIMIT, "cosine"), 2000)
    for shards in (1, 2, 4):
        store = ShardedStore(shards)
        store.upsert_many(list(range(40)), tiny)
        search = per_call_microseconds(lambda: store.search(query, LIMIT, "cosine"), 300)
        batch = per_call_microseconds(lambda: store.batch_search([query], LIMIT, "cosine"), 300)
        get = per_call_microseconds(lambda: store.get(7), 300)
        subject = f"ShardedStore, {shards} shard(s)"
        row("tiny-40", "search call, microseconds", subject, search,
            "one VectorStorage", base_search, 1)
        row("tiny-40", "batch_search of 1 query, microseconds", subject, batch,
            "one VectorStorage", base_batch, 1)
        row("tiny-40", "get call (one shard), microseconds", subject, get,
            "one VectorStorage search", base_search, 1)
    ray.shutdown()


if __name__ == "__main__":
    main()

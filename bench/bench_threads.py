"""Python threads on one store: single-query `search` rates from one and two threads, and a
search thread running beside an upsert thread.

Every store call runs detached from the interpreter, so on an interpreter with a GIL two
searching threads should reach close to twice the rate of one, given two free cores.

    python bench/bench_threads.py [--seconds 5] [--rounds 3]

The 100,000-point clustered store is built once and cached as a snapshot in bench/results/.
"""

import argparse
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import datasets  # noqa: E402
from tarnwick import VectorStorage  # noqa: E402

POINTS = 100_000
QUERIES = 1_000
LIMIT = 10


def build_store(data):
    path = datasets.RESULTS / f"store-threads-{POINTS}.snapshot"
    store = VectorStorage()
    if path.exists():
        store.load(str(path))
        return store
    for point_id, vector in enumerate(data.points):
        store.upsert(point_id, vector, None)
    datasets.RESULTS.mkdir(parents=True, exist_ok=True)
    store.save(str(path))
    return store


def run_threads(works, seconds):
    """Runs each work(stop) in its own thread for `seconds`; returns their call counts."""
    stop = threading.Event()
    counts = [0] * len(works)
    start = threading.Barrier(len(works) + 1)

    def loop(index, work):
        start.wait()
        counts[index] = work(stop)

    threads = [threading.Thread(target=loop, args=(i, w)) for i, w in enumerate(works)]
    for thread in threads:
        thread.start()
    start.wait()
    began = time.perf_counter()
    time.sleep(seconds)
    stop.set()
    for thread in threads:
        thread.join()
    elapsed = time.perf_counter() - began
    return [count / elapsed for count in counts]


def searcher(store, queries):
    def work(stop):
        count = 0
        while not stop.is_set():
            for query in queries:
                store.search(query, LIMIT, "cosine")
                count += 1
                if count % 64 == 0 and stop.is_set():
                    break
        return count
    return work


def upserter(store, vectors):
    def work(stop):
        count = 0
        while not stop.is_set():
            # Rewrites existing points, so the store keeps its size over the run.
            store.upsert(count % POINTS, vectors[count % len(vectors)], None)
            count += 1
        return count
    return work


def cpu_per_call(store, queries):
    """Thread CPU seconds per search call."""
    began = time.thread_time()
    for query in queries:
        store.search(query, LIMIT, "cosine")
    return (time.thread_time() - began) / len(queries)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    data = datasets.load("clustered", POINTS, QUERIES)
    store = build_store(data)
    queries = [list(map(float, query)) for query in data.queries]
    half = len(queries) // 2
    vectors = [list(map(float, v)) for v in data.points[:1000]]
    print(f"store: {len(store)} points, {datasets.DIM} dims, limit {LIMIT}, "
          f"{args.seconds:g} s per measurement, {args.rounds} rounds interleaved")
    # The part of a call that holds the interpreter: binding, converting the query, building
    # the answer, approximated by the same call on an empty store. Two threads can reach at
    # most 2 / (1 + share) times the rate of one, given two free cores.
    attached = cpu_per_call(VectorStorage(), queries)
    total = cpu_per_call(store, queries)
    share = attached / total
    print(f"CPU per search {total * 1e6:.0f} us, of which attached about {attached * 1e6:.1f} us "
          f"({share:.1%}): two threads can reach {2 / (1 + share):.2f}x")
    print(f"{'round':>5} {'1 thread QPS':>13} {'2 threads QPS':>14} {'ratio':>6} "
          f"{'search+upsert: search QPS':>26} {'upsert/s':>9}")
    for round_number in range(1, args.rounds + 1):
        (one,) = run_threads([searcher(store, queries)], args.seconds)
        two = sum(run_threads([searcher(store, queries[:half]), searcher(store, queries[half:])],
                              args.seconds))
        mixed_search, mixed_upsert = run_threads([searcher(store, queries), upserter(store, vectors)],
                                                 args.seconds)
        print(f"{round_number:>5} {one:>13.0f} {two:>14.0f} {two / one:>6.2f} "
              f"{mixed_search:>26.0f} {mixed_upsert:>9.0f}")


if __name__ == "__main__":
    main()

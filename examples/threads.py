"""Many threads sharing one store: writers upsert while readers search and batch-search.

The module declares that it does not need the GIL, so on a free-threaded CPython these
threads run truly in parallel; each store protects itself with two reader-writer locks. No
caller-side locking is needed. A search sees every upsert either completely or not at all.
"""

import random
import sys
import threading

from tarnwick import VectorStorage

DIMENSION = 16
WRITERS = 4
READERS = 3


def vector(rng: random.Random) -> list[float]:
    return [rng.uniform(-1.0, 1.0) for _ in range(DIMENSION)]


def writer(store: VectorStorage, number: int, points: int) -> None:
    # Each writer owns its tenant and its range of ids.
    rng = random.Random(number)
    for i in range(points):
        store.upsert(number * points + i, vector(rng), {"tenant_id": f"writer-{number}"})


def reader(store: VectorStorage, number: int, stop: threading.Event, problems: list[str]) -> None:
    rng = random.Random(1000 + number)
    searches = 0
    while not stop.is_set() or searches == 0:
        query = vector(rng)
        answer = store.search(query, 5, "euclidean")
        batch = store.batch_search([query, vector(rng)], 5, "cosine", tenant_id="writer-0")
        searches += 1
        scores = [score for _, score in answer]
        if scores != sorted(scores) or len(batch) != 2 or len(answer) > 5:
            problems.append(f"reader {number}: malformed answer {answer}")


def main() -> None:
    points = int(sys.argv[1]) if len(sys.argv) > 1 else 400
    store = VectorStorage()
    stop = threading.Event()
    problems: list[str] = []
    readers = [
        threading.Thread(target=reader, args=(store, n, stop, problems)) for n in range(READERS)
    ]
    writers = [threading.Thread(target=writer, args=(store, n, points)) for n in range(WRITERS)]
    for thread in readers + writers:
        thread.start()
    for thread in writers:
        thread.join()
    stop.set()
    for thread in readers:
        thread.join()

    print(f"{WRITERS} writers stored {WRITERS * points} points while {READERS} readers searched")
    print("malformed answers:", len(problems))
    # Each writer's tenant holds fewer than 500 points, so a search for it scans it exactly
    # and returns all of it when the limit allows.
    query = [0.0] * DIMENSION
    tenants = [f"writer-{n}" for n in range(WRITERS)]
    counts = [len(store.search(query, points, "l2", tenant_id=tenant)) for tenant in tenants]
    print("points found per writer:", counts)


if __name__ == "__main__":
    main()

"""A tour of tarnwick: exact answers on a small store, graph answers on a large one, batches,
tenants, and a snapshot saved and loaded back.

Every line it prints is the same on every run: the large store's graph draws its levels from
the operating system's random source, so its answers are compared, never printed.
"""

import os
import random
import sys
import tempfile

from tarnwick import VectorStorage

DIMENSION = 64
TENANTS = ("acme", "globex", "initech")
Vector = list[float]


def random_vector(rng: random.Random) -> Vector:
    return [rng.gauss(0.0, 1.0) for _ in range(DIMENSION)]


def show(label: str, answer: object) -> None:
    print(f"{label + ':':<32}{answer}")


def small_store() -> None:
    """Below 500 points every search scores every point: answers are exact."""
    store = VectorStorage()
    store.upsert(1, [1.0, 0.0], {"tenant_id": "acme", "title": "east"})
    store.upsert(2, [0.0, 1.0], {"tenant_id": "globex"})
    store.upsert(3, [1.0, 1.0], {"tenant_id": "acme", "rank": 3})
    store.upsert(4, [-1.0, 0.5], None)
    query = [1.0, 0.2]
    show("cosine (higher is better)", store.search(query, 3, "cosine"))
    show("dot product (higher is better)", store.search(query, 3, "dot_product"))
    show("euclidean (lower is better)", store.search(query, 3, "euclidean"))
    show("tenant acme only", store.search(query, 3, "cosine", tenant_id="acme"))
    show("unknown tenant", store.search(query, 3, "cosine", tenant_id="umbrella"))
    show("batch of two queries", store.batch_search([[0.0, 1.0], [-1.0, 0.0]], 1, "l2"))
    show("with payloads", store.search(query, 2, "cosine", with_payload=True))
    show("point 3", store.get(3))
    show("points stored", (len(store), 4 in store, 5 in store))

def large_store(points: int) -> None:
    """From 500 points on, searches walk the HNSW graph: fast, approximate answers."""
    rng = random.Random(42)
    store = VectorStorage(m=16, ef_construction=64, ef_search=32, dim=DIMENSION)
    for point_id in range(points):
        payload = {
            "tenant_id": TENANTS[point_id % len(TENANTS)],
            "title": f"document {point_id}",
            "rank": point_id % 100,
            "weight": rng.random(),
        }
        store.upsert(point_id, random_vector(rng), payload)
    print(f"stored {points} points of dimension {DIMENSION}")

    queries = [random_vector(rng) for _ in range(100)]
    answers = store.batch_search(queries, 5, "cosine")
    print(f"batch of {len(queries)} queries, answers of 5:", all(len(a) == 5 for a in answers))
    singles = [store.search(query, 5, "cosine") for query in queries]
    print("batch answers equal single searches:", answers == singles)
    acme = store.search(queries[0], 5, "cosine", tenant_id="acme")
    print("tenant answers hold only that tenant:", all(point_id % 3 == 0 for point_id, _ in acme))
    wide = store.search(queries[0], 5, "cosine", ef_search=200)
    print("a wider search for one call, answers of 5:", len(wide) == 5)

    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "store.snapshot")
        store.save(path)
        reloaded = VectorStorage()
        reloaded.load(path)
        same = [reloaded.search(query, 5, "cosine") for query in queries] == singles
        print("same answers after reload:", same)


def main() -> None:
    points = int(sys.argv[1]) if len(sys.argv) > 1 else 5000
    small_store()
    large_store(points)


if __name__ == "__main__":
    main()

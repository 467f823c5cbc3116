"""Fill a tarnwick store, search it, batch-search it, save it and load it back."""

import os
import random
import tempfile

from tarnwick import VectorStorage

DIMENSION = 64
POINTS = 5000
TENANTS = ["acme", "globex", "initech"]


def random_vector(rng):
    return [rng.gauss(0.0, 1.0) for _ in range(DIMENSION)]


def main():
    rng = random.Random(42)
    store = VectorStorage()
    for point_id in range(POINTS):
        payload = {
            "tenant_id": TENANTS[point_id % len(TENANTS)],
            "title": f"document {point_id}",
            "rank": point_id % 100,
            "weight": rng.random(),
        }
        store.upsert(point_id, random_vector(rng), payload)
    print(f"stored {POINTS} points of dimension {DIMENSION}")

    query = random_vector(rng)
    for metric in ("cosine", "dot_product", "euclidean"):
        print(f"top 5 by {metric}:", store.search(query, 5, metric))
    print("top 5 of tenant acme:", store.search(query, 5, "cosine", tenant_id="acme"))

    queries = [random_vector(rng) for _ in range(100)]
    answers = store.batch_search(queries, 3, "cosine")
    print(f"batch of {len(queries)} queries, first answer:", answers[0])

    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "store.snapshot")
        store.save(path)
        print(f"saved {os.path.getsize(path)} bytes to {path}")
        reloaded = VectorStorage()
        reloaded.load(path)
        same = reloaded.search(query, 5, "cosine") == store.search(query, 5, "cosine")
        print("reloaded store gives the same top 5:", same)


if __name__ == "__main__":
    main()

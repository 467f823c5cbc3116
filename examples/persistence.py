"""Save a store in one process, load it in another, and get the same answers.

A snapshot holds the points and the whole search graph, so a loaded store answers exactly as
the saved one did, graph route included. Run without arguments: the script builds and saves
a store, then starts itself again as a second process that loads the file and prints its
answers. Failed loads raise OSError and leave the store as it was.
"""

import json
import os
import random
import subprocess
import sys
import tempfile

from tarnwick import VectorStorage

DIMENSION = 48
QUERIES = 20
Answers = list[list[tuple[int, float]]]


def queries() -> list[list[float]]:
    rng = random.Random(99)
    return [[rng.gauss(0.0, 1.0) for _ in range(DIMENSION)] for _ in range(QUERIES)]


def answer_all(store: VectorStorage) -> Answers:
    return [store.search(query, 10, metric) for query in queries() for metric in ("cosine", "l2")]


def build(points: int) -> VectorStorage:
    rng = random.Random(3)
    store = VectorStorage()
    for point_id in range(points):
        vector = [rng.gauss(0.0, 1.0) for _ in range(DIMENSION)]
        store.upsert(point_id, vector, {"tenant_id": "acme", "n": point_id})
    return store


def second_process(path: str) -> None:
    """Loads the snapshot and prints the answers as JSON for the first process."""
    store = VectorStorage()
    store.load(path)
    print(json.dumps(answer_all(store)))


def show_failures(directory: str) -> None:
    store = build(10)
    query = [1.0] * DIMENSION
    before = store.search(query, 3, "cosine")
    damaged = os.path.join(directory, "damaged.snapshot")
    store.save(damaged)
    with open(damaged, "r+b") as file:
        file.truncate(os.path.getsize(damaged) // 2)
    for path in (os.path.join(directory, "missing.snapshot"), damaged):
        try:
            store.load(path)
        except OSError as error:
            print("load failed:", error)
    print("store unchanged after the failed loads:", store.search(query, 3, "cosine") == before)


def main() -> None:
    if len(sys.argv) > 2 and sys.argv[1] == "--load":
        second_process(sys.argv[2])
        return
    points = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    store = build(points)
    expected = answer_all(store)
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "store.snapshot")
        store.save(path)
        print(f"saved {points} points")
        loaded = subprocess.run(
            [sys.executable, __file__, "--load", path], check=True, capture_output=True, text=True
        )
        # JSON turns tuples into lists; floats survive exactly.
        answers = [[(i, score) for i, score in answer] for answer in json.loads(loaded.stdout)]
        print(f"answers compared: {len(answers)}")
        print("identical answers in the second process:", answers == expected)
        show_failures(directory)


if __name__ == "__main__":
    main()

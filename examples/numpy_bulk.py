"""Load vectors from a 2-D numpy array, with a progress bar for large inserts.

Usage: python numpy_bulk.py [rows]   (or TARNWICK_EXAMPLE_ROWS=rows; default 20,000)

A one-dimensional float32 or float64 array (such as a row of a 2-D array) is copied straight
from its buffer, without a Python call per element; float64 values are rounded to float32.
A 2-D array can be passed whole to upsert_many, one point per row, and to batch_search, one
query per row.
"""

import os
import sys

import numpy as np
import numpy.typing as npt
from tqdm import tqdm

from tarnwick import VectorStorage

DIMENSION = 128
DEFAULT_ROWS = 20_000


def row_count() -> int:
    if len(sys.argv) > 1:
        return int(sys.argv[1])
    return int(os.environ.get("TARNWICK_EXAMPLE_ROWS", DEFAULT_ROWS))


def clustered_rows(rows: int, rng: np.random.Generator) -> npt.NDArray[np.float32]:
    """Points around 50 centres: the kind of data nearest-neighbour search is used on."""
    centres = rng.normal(size=(50, DIMENSION)).astype(np.float32)
    noise = rng.normal(scale=0.3, size=(rows, DIMENSION)).astype(np.float32)
    return centres[rng.integers(0, len(centres), size=rows)] + noise


def main() -> None:
    rows = row_count()
    rng = np.random.default_rng(2024)
    vectors = clustered_rows(rows, rng)
    store = VectorStorage()
    # One call for all rows: their graph links are built on the worker pool, and the bar
    # moves as they go in.
    with tqdm(total=rows, desc="upsert_many", unit="pt") as bar:
        store.upsert_many(range(rows), vectors, [{"tenant_id": "bulk"}] * rows,
                          progress=lambda done, total: bar.update(done - bar.n))
    print(f"stored {rows} rows of dimension {DIMENSION}")

    # Queries are stored rows with a little noise: each should find its own row first.
    picks = rng.choice(rows, size=min(rows, 200), replace=False)
    queries = vectors[picks] + rng.normal(scale=0.01, size=(len(picks), DIMENSION))
    answers = store.batch_search(queries, 10, "cosine")
    found = sum(1 for pick, answer in zip(picks, answers) if answer and answer[0][0] == pick)
    print(f"batch_search of {len(queries)} float64 queries: own row first in {found}")
    print("one float32 row as a query:", store.search(vectors[0], 1, "l2")[0][0] == 0)


if __name__ == "__main__":
    main()

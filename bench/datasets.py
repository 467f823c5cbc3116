"""Benchmark data and its exact cosine ground truth.

The clustered and sphere arrays are generated (deterministically) and the text set's
embeddings made by make_text_set.py, once; they and the ground truth are cached under
bench/results/, so every library's subprocess reads the same bytes.
"""

from dataclasses import dataclass
from pathlib import Path

import numpy as np

RESULTS = Path(__file__).resolve().parent / "results"
DIM = 128
FULL_POINTS = 100_000
FULL_QUERIES = 1_000
SMALL_POINTS = 499  # one below the size at which a store switches from exact scan to graph
CENTRES = 100
SPREAD = 0.5  # per-coordinate noise around a centre whose coordinates are N(0, 1)
SEED = 20240611
TOP_K = 10
FAMILIES = ("clustered", "sphere", "text")  # the index is the generator's seed component


@dataclass
class Dataset:
    name: str
    points: np.ndarray  # (n, dim) float32; point i has id i
    queries: np.ndarray  # (q, dim) float32
    truth: np.ndarray  # (q, TOP_K) int64 ids of the exact cosine top-k


def _clustered(rng, centres, count):
    labels = rng.integers(0, CENTRES, count)
    noise = rng.normal(0.0, SPREAD, (count, DIM))
    return (centres[labels] + noise).astype(np.float32)


def _sphere(rng, count):
    raw = rng.normal(0.0, 1.0, (count, DIM))
    return (raw / np.linalg.norm(raw, axis=1, keepdims=True)).astype(np.float32)


def _generate(family):
    """Full-size (points, queries); queries come from their own stream of the same distribution."""
    points_rng, queries_rng = (np.random.default_rng([SEED, family, s]) for s in (0, 1))
    if family == 0:
        centres = np.random.default_rng([SEED, family, 2]).normal(0.0, 1.0, (CENTRES, DIM))
        return _clustered(points_rng, centres, FULL_POINTS), _clustered(queries_rng, centres, FULL_QUERIES)
    return _sphere(points_rng, FULL_POINTS), _sphere(queries_rng, FULL_QUERIES)


def _cached(path, make):
    if path.exists():
        return np.load(path)
    RESULTS.mkdir(parents=True, exist_ok=True)
    value = make()
    np.save(path, value)
    return value


def data_paths(family_name):
    """Where a family's (points, queries) arrays are cached."""
    return RESULTS / f"data-{family_name}-points.npy", RESULTS / f"data-{family_name}-queries.npy"


def _full(family_name, family):
    points_path, queries_path = data_paths(family_name)
    if family_name == "text" and not points_path.exists():
        raise FileNotFoundError(f"{points_path} is missing: run bench/make_text_set.py once")
    if not (points_path.exists() and queries_path.exists()):
        points, queries = _generate(family)
        RESULTS.mkdir(parents=True, exist_ok=True)
        np.save(points_path, points)
        np.save(queries_path, queries)
    return np.load(points_path), np.load(queries_path)


def exact_cosine_top_k(points, queries, k=TOP_K, chunk=100):
    """Ids of the k points with the highest cosine similarity to each query, best first."""
    unit_points = points.astype(np.float64)
    unit_points /= np.linalg.norm(unit_points, axis=1, keepdims=True)
    unit_queries = queries.astype(np.float64)
    unit_queries /= np.linalg.norm(unit_queries, axis=1, keepdims=True)
    k = min(k, len(points))
    out = np.empty((len(queries), k), dtype=np.int64)
    for start in range(0, len(queries), chunk):
        scores = unit_queries[start:start + chunk] @ unit_points.T
        top = np.argpartition(-scores, k - 1, axis=1)[:, :k]
        order = np.argsort(-np.take_along_axis(scores, top, axis=1), axis=1, kind="stable")
        out[start:start + chunk] = np.take_along_axis(top, order, axis=1)
    return out


def load(name, points, queries):
    """Dataset `name` (one of FAMILIES or "small") cut to `points` points and `queries` queries.

    "small" is always SMALL_POINTS clustered points, whatever `points` says.
    """
    family_name = "clustered" if name == "small" else name
    all_points, all_queries = _full(family_name, FAMILIES.index(family_name))
    count = SMALL_POINTS if name == "small" else points
    data, held_out = all_points[:count], all_queries[:queries]  # the text set may hold fewer
    truth = _cached(RESULTS / f"truth-{name}-{len(data)}-{len(held_out)}.npy",
                    lambda: exact_cosine_top_k(data, held_out))
    return Dataset(f"{name}-{len(data)}", data, held_out, truth)

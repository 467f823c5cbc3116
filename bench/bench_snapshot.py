"""Snapshot save and load: MB/s and peak extra memory, tarnwick against hnswlib.

Usage: python bench/bench_snapshot.py [--points 100000] [--dim 128] [--dir DIR]

Both libraries index the same vectors (tarnwick also stores a three-entry payload per
point). Each save and each load runs in a fresh subprocess, so its memory figures are its
own: the peak resident set (VmHWM, reset just before the call) minus the resident set
before the call. tarnwick's save forces its file to disk (fsync) before returning;
hnswlib's does not. Loads read a file that is still in the page cache.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

SEED = 20240611


def _status_kib(field):
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"{field} missing")


def measured(call):
    """Runs call(); returns (seconds, peak extra bytes, retained extra bytes)."""
    Path("/proc/self/clear_refs").write_text("5")  # resets VmHWM to the current RSS
    start = _status_kib("VmRSS")
    began = time.perf_counter()
    call()
    seconds = time.perf_counter() - began
    return seconds, (_status_kib("VmHWM") - start) * 1024, (_status_kib("VmRSS") - start) * 1024


def vectors(points, dim):
    return np.random.default_rng(SEED).standard_normal((points, dim), dtype=np.float32)


def tarnwick_save(path, points, dim):
    from tarnwick import VectorStorage

    store = VectorStorage()
    for i, row in enumerate(vectors(points, dim).tolist()):
        store.upsert(i, row, {"tenant_id": f"tenant-{i % 10}", "rank": i, "score": i / 7})
    return measured(lambda: store.save(path))


def tarnwick_load(path, points, dim):
    from tarnwick import VectorStorage

    store = VectorStorage()
    return measured(lambda: store.load(path))


def hnswlib_save(path, points, dim):
    import hnswlib

    index = hnswlib.Index(space="cosine", dim=dim)
    index.init_index(max_elements=points, ef_construction=64, M=16, random_seed=100)
    index.add_items(vectors(points, dim))
    return measured(lambda: index.save_index(path))


def hnswlib_load(path, points, dim):
    import hnswlib

    index = hnswlib.Index(space="cosine", dim=dim)
    return measured(lambda: index.load_index(path, max_elements=points))


CASES = {f.__name__: f for f in (tarnwick_save, tarnwick_load, hnswlib_save, hnswlib_load)}


def run_case(name, path, points, dim):
    """Runs one case in a fresh interpreter and returns its (seconds, peak, retained)."""
    output = subprocess.run([sys.executable, __file__, "--case", name, "--path", path,
                             "--points", str(points), "--dim", str(dim)],
                            check=True, capture_output=True, text=True).stdout
    return json.loads(output)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--dir", default=None, help="where the snapshot files go (default: a temp dir)")
    parser.add_argument("--case", choices=CASES, help=argparse.SUPPRESS)
    parser.add_argument("--path", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.case:
        json.dump(CASES[args.case](args.path, args.points, args.dim), sys.stdout)
        return

    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        print(f"{args.points} points, {args.dim} dimensions\n")
        print(f"{'library':<10} {'file MB':>8} {'save MB/s':>10} {'load MB/s':>10} "
              f"{'save peak MB':>13} {'load peak MB':>13} {'load kept MB':>13}")
        for library in ("tarnwick", "hnswlib"):
            path = os.path.join(directory, f"{library}.snapshot")
            save_seconds, save_peak, _ = run_case(f"{library}_save", path, args.points, args.dim)
            load_seconds, load_peak, load_kept = run_case(f"{library}_load", path, args.points, args.dim)
            megabytes = os.path.getsize(path) / 1e6
            print(f"{library:<10} {megabytes:>8.1f} {megabytes / save_seconds:>10.0f} "
                  f"{megabytes / load_seconds:>10.0f} {save_peak / 1e6:>13.1f} "
                  f"{load_peak / 1e6:>13.1f} {load_kept / 1e6:>13.1f}")


if __name__ == "__main__":
    main()

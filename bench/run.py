"""Benchmarks tarnwick against peer libraries on the same data; writes bench/results/latest.md.

Usage: python bench/run.py [--quick]
Each (library, case, dataset) runs in a fresh subprocess (see worker.py), one after another so
the cases do not compete for the two cores. Batch cases run once with one thread and once with
two (TARNWICK_WORKERS is read when tarnwick's pool starts). The text set is made by
make_text_set.py the first time. Also writes the single-query recall-vs-QPS plot
bench/results/recall_qps.png.
"""

import argparse
import json
import os
import platform
import subprocess
import sys
import time
from importlib import metadata
from pathlib import Path

import datasets
import make_text_set
import report

BENCH = Path(__file__).resolve().parent
ONE, TWO = {"TARNWICK_WORKERS": "1"}, {"TARNWICK_WORKERS": "2"}
# numpy's own BLAS kernel and one thread, as tarnwick's scan has (the OPENBLAS_CORETYPE
# workaround for old OpenBLAS builds slows a current numpy).
NUMPY = {"OPENBLAS_CORETYPE": None, "OPENBLAS_L2_SIZE": None, "OPENBLAS_NUM_THREADS": "1"}
BUILD_JOBS = [("tarnwick", "lists", {}), ("tarnwick", "rows", {}), ("hnswlib", "bulk", {}),
              ("hnswlib", "per_point", {})]
# The search-only cases read the store and index the build jobs saved.
GRAPH_JOBS = BUILD_JOBS + [("faiss", "graph", {}), ("usearch", "graph", {}), ("tarnwick", "search", {}),
                           ("tarnwick", "batch", ONE), ("tarnwick", "batch", TWO),
                           ("hnswlib", "batch", ONE), ("hnswlib", "batch", TWO)]
JOBS = {
    "clustered": GRAPH_JOBS + [("tarnwick", "scan", {}), ("numpy", "scan", NUMPY)],
    "sphere": GRAPH_JOBS,
    "text": GRAPH_JOBS,
    "small": BUILD_JOBS + [("tarnwick", "search", {}), ("tarnwick", "overhead", {}), ("hnswlib", "overhead", {}),
                           ("numpy", "scan", NUMPY)],
}
PEERS = ("hnswlib", "faiss-cpu", "usearch", "numpy")


def run_job(library, case, dataset, points, queries, settings):
    """Rows of one worker, or an error string if it failed (e.g. a library that is not installed).

    settings: environment variables for the worker; None removes one.
    """
    command = [sys.executable, str(BENCH / "worker.py"), library, case, dataset, str(points), str(queries)]
    env = dict(os.environ)
    for name, value in settings.items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    done = subprocess.run(command, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        lines = done.stderr.strip().splitlines() or [f"exit status {done.returncode}"]
        return lines[-1]
    return json.loads(done.stdout)


def _load_average():
    return Path("/proc/loadavg").read_text().split()[0]


def environment(sizes, queries, start_load):
    """sizes: {dataset name: dimensions}."""

    def version(package):
        try:
            return metadata.version(package)
        except metadata.PackageNotFoundError:
            return "not installed"

    commit = subprocess.run(["git", "-C", str(BENCH), "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip()
    cpu = next((line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                if line.startswith("model name")), platform.processor())
    packages = ", ".join(f"{p} {version(p)}" for p in ("tarnwick",) + PEERS)
    sets = ", ".join(f"{name} x {dim} dims" for name, dim in sizes.items())
    return (f"{time.strftime('%Y-%m-%d %H:%M')}, commit {commit}, {cpu}, Python {platform.python_version()}, "
            f"{packages}. Sets (name-points): {sets}; {queries:,} queries, limit 10, cosine. "
            f"Load average at the start: {start_load}, at the end: {_load_average()} on {os.cpu_count()} CPUs.")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="20,000 points and 200 queries")
    args = parser.parse_args()
    start_load = _load_average()
    points, queries = (20_000, 200) if args.quick else (datasets.FULL_POINTS, datasets.FULL_QUERIES)
    if args.quick:
        os.environ["TARNWICK_BENCH_QUICK"] = "1"  # the workers' timing, see measure.QUICK
    if not datasets.data_paths("text")[0].exists():
        make_text_set.main()

    results, failures, sizes = {}, [], {}
    for name in JOBS:
        dataset = datasets.load(name, points, queries)  # caches data and ground truth once
        dataset_name = dataset.name
        sizes[dataset_name], results[dataset_name] = dataset.points.shape[1], []
        for library, case, settings in JOBS[name]:
            print(f"{dataset_name}: {library} {case} {settings} ...", file=sys.stderr, flush=True)
            rows = run_job(library, case, name, points, queries, settings)
            if isinstance(rows, str):
                failures.append(f"- {dataset_name} {library} {case}: {rows}")
            else:
                results[dataset_name] += rows

    text = "\n\n".join([
        "# tarnwick benchmark" + (" (quick)" if args.quick else ""),
        environment(sizes, queries, start_load),
        "## Single-query graph search at equal recall\n\nOne thread each. tarnwick at its own ef_search "
        f"{report.DEFAULT_EF}; each peer at the smallest width on its grid whose recall@10 is at least "
        "tarnwick's. Ratios are tarnwick/peer; the last line of a set is the share of neighbour decisions "
        "settled by a bound instead of an exact distance.",
        report.graph_table(results),
        "## Insertion and memory\n\nHigher is better except for memory; ratios are tarnwick/peer.",
        report.comparison_table(results),
        "## Batch search, exact scan and call overhead\n\nEach ratio is to the peer named on its line, "
        "measured in the same run. Equal recall: hnswlib at the smallest ef whose recall@10 is at least "
        "tarnwick's.",
        report.extra_table(results),
        "## All measurements",
        report.raw_table(results),
    ] + (["## Failed cases", "\n".join(failures)] if failures else [])) + "\n"
    print(text)
    datasets.RESULTS.mkdir(parents=True, exist_ok=True)
    (datasets.RESULTS / "latest.md").write_text(text)
    (datasets.RESULTS / "latest.json").write_text(json.dumps(results, indent=1))
    report.recall_qps_plot(results, datasets.RESULTS / "recall_qps.png")


if __name__ == "__main__":
    main()

"""Benchmarks tarnwick against peer libraries on the same data; writes bench/results/latest.md.

Usage: python bench/run.py [--quick]
Each (library, case, dataset) runs in a fresh subprocess (see worker.py), one after another so
the cases do not compete for the two cores.
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
import report

BENCH = Path(__file__).resolve().parent
JOBS = [("tarnwick", "lists"), ("tarnwick", "rows"), ("hnswlib", "bulk"), ("hnswlib", "per_point")]
DATASETS = ["clustered", "sphere", "small"]


def run_job(library, case, dataset, points, queries):
    """Rows of one worker, or an error string if it failed (e.g. a library that is not installed)."""
    command = [sys.executable, str(BENCH / "worker.py"), library, case, dataset, str(points), str(queries)]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        lines = done.stderr.strip().splitlines() or [f"exit status {done.returncode}"]
        return lines[-1]
    return json.loads(done.stdout)


def environment(points, queries):
    def version(package):
        try:
            return metadata.version(package)
        except metadata.PackageNotFoundError:
            return "not installed"

    commit = subprocess.run(["git", "-C", str(BENCH), "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip()
    cpu = next((line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                if line.startswith("model name")), platform.processor())
    packages = ", ".join(f"{p} {version(p)}" for p in ("tarnwick", "hnswlib", "numpy"))
    return (f"{time.strftime('%Y-%m-%d %H:%M')}, commit {commit}, {cpu}, Python {platform.python_version()}, "
            f"{packages}. {points:,} points x {datasets.DIM} dims ({datasets.SMALL_POINTS} for small), "
            f"{queries:,} queries, limit 10, cosine. Load average at the end: "
            f"{Path('/proc/loadavg').read_text().split()[0]} on {os.cpu_count()} CPUs.")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="20,000 points and 200 queries")
    args = parser.parse_args()
    points, queries = (20_000, 200) if args.quick else (datasets.FULL_POINTS, datasets.FULL_QUERIES)

    results, failures = {}, []
    for name in DATASETS:
        dataset_name = datasets.load(name, points, queries).name  # caches data and ground truth once
        results[dataset_name] = []
        for library, case in JOBS:
            print(f"{dataset_name}: {library} {case} ...", file=sys.stderr, flush=True)
            rows = run_job(library, case, name, points, queries)
            if isinstance(rows, str):
                failures.append(f"- {dataset_name} {library} {case}: {rows}")
            else:
                results[dataset_name] += rows

    text = "\n\n".join([
        "# tarnwick benchmark" + (" (quick)" if args.quick else ""),
        environment(points, queries),
        "## tarnwick against peers\n\nHigher is better except for memory; ratios are tarnwick/peer.",
        report.comparison_table(results),
        "## All measurements",
        report.raw_table(results),
    ] + (["## Failed cases", "\n".join(failures)] if failures else [])) + "\n"
    print(text)
    datasets.RESULTS.mkdir(parents=True, exist_ok=True)
    (datasets.RESULTS / "latest.md").write_text(text)
    (datasets.RESULTS / "latest.json").write_text(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()

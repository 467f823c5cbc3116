"""Runs one library's case on one dataset in this (fresh) process and prints its rows as JSON.

Usage: worker.py LIBRARY CASE DATASET POINTS QUERIES
A process per case keeps each library's memory growth and allocator state its own.
"""

import importlib
import json
import sys

import datasets


def main(library, case, dataset_name, points, queries):
    dataset = datasets.load(dataset_name, int(points), int(queries))
    cases = importlib.import_module(f"cases_{library}").CASES
    rows = cases[case](dataset)
    json.dump([{"subject": s, "measure": m, "value": v} for s, m, v in rows], sys.stdout)


if __name__ == "__main__":
    main(*sys.argv[1:])

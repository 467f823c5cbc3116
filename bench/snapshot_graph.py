"""Rewrites the graph section of a tarnwick snapshot, for benchmarks only.

The store has no setting for ef_search, and switches to its graph at 500 points; rewriting a
saved snapshot gives the benchmark other ef_search values, and a graph-less copy makes a
large store answer by exact scan. The snapshot reader and writer are the tests' own.
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
from snapshot_format import Reader, varint  # noqa: E402


def _graph_parameters(data):
    """A reader at the graph parameters: just past the last point entry."""
    reader = Reader(data)
    for _ in range(reader.varint()):
        reader.point()
    return reader


def with_ef_search(data, ef_search):
    """The snapshot `data` (bytes) with its graph searched at `ef_search`."""
    reader = _graph_parameters(data)
    reader.varint(), reader.varint()  # m, ef_construction
    start = reader.at
    reader.varint()
    return data[:start] + varint(ef_search) + data[reader.at:]


def without_graph(data):
    """The same points and graph parameters with no graph nodes: every search is an exact scan."""
    reader = _graph_parameters(data)
    for _ in range(3):  # m, ef_construction, ef_search
        reader.varint()
    return data[:reader.at] + bytes([0]) + varint(0) + varint(0)  # no entry point, level 0, 0 nodes

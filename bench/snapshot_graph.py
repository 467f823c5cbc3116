"""Drops the graph of a tarnwick snapshot, for benchmarks only.

A store switches to its graph at 500 points; a graph-less copy makes a large store answer by
exact scan. The snapshot reader and writer are the tests' own.
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


def without_graph(data):
    """The same points and graph parameters with no graph nodes: every search is an exact scan."""
    reader = _graph_parameters(data)
    for _ in range(3):  # m, ef_construction, ef_search
        reader.varint()
    return data[:reader.at] + bytes([0]) + varint(0) + varint(0)  # no entry point, level 0, 0 nodes

"""Reads and rewrites the graph of a tarnwick snapshot, for benchmarks only.

A store switches to its graph at 500 points; a graph-less copy makes a large store answer by
exact scan. The snapshot reader and writer are the tests' own.
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
from snapshot_format import Reader, decode, varint  # noqa: E402


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


def layer0_reachability(data):
    """(nodes reachable from the entry point over layer-0 links, nodes) of a snapshot."""
    snapshot = decode(data)
    links = {node.key: node.links[0] for node in snapshot.nodes}
    if snapshot.entry_point is None:
        return 0, len(links)
    seen, stack = {snapshot.entry_point}, [snapshot.entry_point]
    while stack:
        for target in links.get(stack.pop(), ()):
            if target not in seen:
                seen.add(target)
                stack.append(target)
    return len(seen), len(links)

"""Rewrites the graph section of a tarnwick snapshot, for benchmarks only.

The store has no setting for ef_search, and switches to its graph at 500 points; rewriting a
saved snapshot gives the benchmark other ef_search values, and a graph-less copy makes a
large store answer by exact scan. Layout: point count, point entries, then varints m,
ef_construction, ef_search, the optional entry point, max_level and the node table.
"""


def _read_varint(data, pos):
    value, shift = 0, 0
    while True:
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, pos


def _varint(value):
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def _skip_text(data, pos):
    length, pos = _read_varint(data, pos)
    return pos + length


def _skip_payload_value(data, pos):
    tag, pos = _read_varint(data, pos)
    if tag in (0, 1):  # keyword, text
        return _skip_text(data, pos)
    if tag == 2:  # ZigZag integer
        return _read_varint(data, pos)[1]
    return pos + 8  # float


def _graph_offset(data):
    """Offset of the graph parameters: just past the last point entry."""
    count, pos = _read_varint(data, 0)
    for _ in range(count):
        pos = _read_varint(data, pos)[1]  # table key
        pos = _read_varint(data, pos)[1]  # id
        length, pos = _read_varint(data, pos)
        pos += 4 * length
        present = data[pos]
        pos += 1
        if present:
            entries, pos = _read_varint(data, pos)
            for _ in range(entries):
                pos = _skip_payload_value(data, _skip_text(data, pos))
    return pos


def with_ef_search(data, ef_search):
    """The snapshot `data` (bytes) with its graph searched at `ef_search`."""
    pos = _graph_offset(data)
    _, pos = _read_varint(data, pos)  # m
    _, pos = _read_varint(data, pos)  # ef_construction
    _, end = _read_varint(data, pos)
    return data[:pos] + _varint(ef_search) + data[end:]


def without_graph(data):
    """The same points and graph parameters with no graph nodes: every search is an exact scan."""
    pos = _graph_offset(data)
    for _ in range(3):  # m, ef_construction, ef_search
        _, pos = _read_varint(data, pos)
    return data[:pos] + bytes([0]) + _varint(0) + _varint(0)  # no entry point, level 0, 0 nodes


def layer0_reachability(data):
    """(nodes reachable from the entry point over layer-0 links, nodes) of a snapshot."""
    pos = _graph_offset(data)
    for _ in range(3):  # m, ef_construction, ef_search
        _, pos = _read_varint(data, pos)
    present = data[pos]
    pos += 1
    entry = None
    if present:
        entry, pos = _read_varint(data, pos)
    _, pos = _read_varint(data, pos)  # max_level
    count, pos = _read_varint(data, pos)
    links = {}
    for _ in range(count):
        key, pos = _read_varint(data, pos)
        _, pos = _read_varint(data, pos)  # id
        for layer in range(16):
            length, pos = _read_varint(data, pos)
            listed = []
            for _ in range(length):
                target, pos = _read_varint(data, pos)
                listed.append(target)
            if layer == 0:
                links[key] = listed
    if entry is None:
        return 0, count
    seen, stack = {entry}, [entry]
    while stack:
        for target in links.get(stack.pop(), ()):
            if target not in seen:
                seen.add(target)
                stack.append(target)
    return len(seen), count

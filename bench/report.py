"""Markdown tables from the rows the workers produced."""

from measure import INSERT, MEMORY, QPS, RECALL

TARNWICK_LIST = "tarnwick upsert per point, list"
TARNWICK_ROW = "tarnwick upsert per point, numpy row"
TARNWICK_SEARCH = "tarnwick search, ef 32"

# (measure, tarnwick subject, peer subject): one line of the comparison table each.
COMPARISONS = [
    (INSERT, TARNWICK_LIST, "hnswlib add_items per point"),
    (INSERT, TARNWICK_ROW, "hnswlib add_items per point"),
    (INSERT, TARNWICK_ROW, "hnswlib add_items bulk, 1 thread"),
    (MEMORY, TARNWICK_LIST, "hnswlib add_items bulk, 1 thread"),
    (MEMORY, TARNWICK_ROW, "hnswlib add_items per point"),
    (QPS, TARNWICK_SEARCH, "hnswlib knn_query, ef 32"),
    (QPS, TARNWICK_SEARCH, "hnswlib knn_query, ef 64"),
    (RECALL, TARNWICK_SEARCH, "hnswlib knn_query, ef 32"),
    (RECALL, TARNWICK_SEARCH, "hnswlib knn_query, ef 64"),
]


def _format(measure, value):
    if value is None:
        return "n/a"
    if measure == RECALL:
        return f"{value:.3f}"
    return f"{value:,.0f}"


def _lookup(rows):
    return {(r["subject"], r["measure"]): r["value"] for r in rows}


def comparison_table(results):
    """results: {dataset name: [row dict, ...]} -> markdown with tarnwick/peer ratios."""
    lines = ["| dataset | measure | tarnwick | value | peer | value | tarnwick/peer |",
             "|---|---|---|---:|---|---:|---:|"]
    for name, rows in results.items():
        values = _lookup(rows)
        for measure, ours, peer in COMPARISONS:
            a, b = values.get((ours, measure)), values.get((peer, measure))
            if a is None and b is None:
                continue
            ratio = f"{a / b:.2f}" if a is not None and b else "n/a"
            lines.append(f"| {name} | {measure} | {ours.removeprefix('tarnwick ')} | {_format(measure, a)} "
                         f"| {peer} | {_format(measure, b)} | {ratio} |")
    return "\n".join(lines)


def raw_table(results):
    """Every measured value, one line per (dataset, subject, measure)."""
    lines = ["| dataset | subject | measure | value |", "|---|---|---|---:|"]
    for name, rows in results.items():
        for r in rows:
            lines.append(f"| {name} | {r['subject']} | {r['measure']} | {_format(r['measure'], r['value'])} |")
    return "\n".join(lines)

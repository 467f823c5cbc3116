"""Markdown tables from the rows the workers produced."""

import re

from measure import BANDWIDTH, BATCH_QPS, CALL_US, INSERT, MEMORY, QPS, RECALL, SCAN_BYTES

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


SCAN = "tarnwick exact scan, 1 thread"
DEFAULT_EF = 32  # a new tarnwick store's ef_search
FORMS = ("numpy float32", "numpy float64", "tuple", "array.array f")


def _batch_subject(library, ef, threads):
    if library == "tarnwick":
        return f"tarnwick batch_search, ef {ef}, {threads} worker(s)"
    return f"hnswlib knn_query batch, ef {ef}, {threads} thread(s)"


SINGLE_PEER = "hnswlib knn_query, ef EF"


def _curve(values, template, measure):
    """[(ef, recall, rate)] of the subjects `template` names with EF replaced, by ef."""
    pattern = re.compile(re.escape(template).replace("EF", r"(\d+)"))
    points = []
    for (subject, measured), rate in values.items():
        found = pattern.fullmatch(subject)
        if found and measured == measure:
            points.append((int(found[1]), values.get((subject, RECALL)), rate))
    return sorted(points)


def _equal_recall_peer(values, recall, template, measure):
    """The peer subject at the smallest ef reaching `recall`, else at its best recall."""
    curve = _curve(values, template, measure)
    if not curve or recall is None:
        return None
    reaching = [point for point in curve if point[1] >= recall]
    ef = reaching[0][0] if reaching else max(curve, key=lambda point: point[1])[0]
    return template.replace("EF", str(ef))


def _line(name, measure, values, ours, peer, ours_value=None, peer_value=None):
    a = ours_value if ours_value is not None else values.get((ours, measure))
    b = peer_value if peer_value is not None else values.get((peer, measure))
    if a is None and b is None:
        return None
    ratio = f"{a / b:.2f}" if a is not None and b else "n/a"
    fmt = (lambda v: "n/a" if v is None else f"{v:.2f}") if "microseconds" in measure else (lambda v: _format(measure, v))
    return f"| {name} | {measure} | {ours} | {fmt(a)} | {peer} | {fmt(b)} | {ratio} |"


def extra_table(results):
    """Batch scaling and equal-recall batch rates, exact scan, bandwidth and call overhead."""
    lines = ["| dataset | measure | subject | value | peer | value | subject/peer |",
             "|---|---|---|---:|---|---:|---:|"]
    for name, rows in results.items():
        values = _lookup(rows)
        one, two = _batch_subject("tarnwick", DEFAULT_EF, 1), _batch_subject("tarnwick", DEFAULT_EF, 2)
        candidates = [_line(name, BATCH_QPS, values, two, one),
                      _line(name, BATCH_QPS, values, _batch_subject("hnswlib", DEFAULT_EF, 2),
                            _batch_subject("hnswlib", DEFAULT_EF, 1))]
        single = _equal_recall_peer(values, values.get((TARNWICK_SEARCH, RECALL)), SINGLE_PEER, QPS)
        if single:
            candidates += [_line(name, QPS, values, TARNWICK_SEARCH, single),
                           _line(name, RECALL, values, TARNWICK_SEARCH, single)]
        for threads, ours in ((1, one), (2, two)):
            peer = _equal_recall_peer(values, values.get((ours, RECALL)), _batch_subject("hnswlib", "EF", threads),
                                      BATCH_QPS)
            if peer:
                candidates += [_line(name, BATCH_QPS, values, ours, peer), _line(name, RECALL, values, ours, peer)]
        # The small store is below the graph's threshold: its ordinary search is the exact scan.
        scan = SCAN if (SCAN, QPS) in values else TARNWICK_SEARCH
        numpy = next((s for s, m in values if s.startswith("numpy brute force") and m == QPS), None)
        if numpy:
            candidates += [_line(name, QPS, values, scan, numpy), _line(name, RECALL, values, scan, numpy)]
        copy = "numpy copy of 1 GiB"
        if (copy, BANDWIDTH) in values and (scan, SCAN_BYTES) in values:
            candidates.append(_line(name, f"{SCAN_BYTES} / {BANDWIDTH}", values, scan, copy,
                                    values[(scan, SCAN_BYTES)], values[(copy, BANDWIDTH)]))
        listed = f"tarnwick search, list, {name}"
        if (listed, CALL_US) in values:
            for form in FORMS:
                candidates.append(_line(name, CALL_US, values, f"tarnwick search, {form}, {name}", listed))
            empty = "tarnwick search, empty list, empty store"
            for form in ("list",) + FORMS:
                converting = f"tarnwick search, {form}, empty store"
                if (converting, CALL_US) in values and (empty, CALL_US) in values:
                    candidates.append(_line(name, "conversion of 128 floats, microseconds (share of a call)", values,
                                            f"{converting} minus empty list", listed,
                                            values[(converting, CALL_US)] - values[(empty, CALL_US)],
                                            values[(listed, CALL_US)]))
            candidates.append(_line(name, CALL_US, values, listed, f"hnswlib knn_query, numpy float32, {name}"))
            candidates.append(_line(name, CALL_US, values, f"tarnwick search, numpy float32, {name}",
                                    f"hnswlib knn_query, numpy float32, {name}"))
        lines += [line for line in candidates if line]
    return "\n".join(lines)


def recall_qps_plot(results, path):
    """Batch queries/s against recall@10 for each graph dataset: tarnwick by ef_search, hnswlib by ef."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    graphs = {name: _lookup(rows) for name, rows in results.items()
              if any(_curve(_lookup(rows), _batch_subject(library, "EF", 1), BATCH_QPS)
                     for library in ("tarnwick", "hnswlib"))}
    if not graphs:
        return
    figure, axes = plt.subplots(1, len(graphs), figsize=(5.5 * len(graphs), 4), squeeze=False)
    for axis, (name, values) in zip(axes[0], graphs.items()):
        for library, threads, style in (("tarnwick", 1, "o-C0"), ("tarnwick", 2, "o--C0"),
                                        ("hnswlib", 1, "s-C1"), ("hnswlib", 2, "s--C1")):
            curve = _curve(values, _batch_subject(library, "EF", threads), BATCH_QPS)
            if not curve:
                continue
            label = f"{library}, {threads} thread{'s' if threads > 1 else ''}"
            axis.plot([c[1] for c in curve], [c[2] for c in curve], style[:-2], color=style[-2:], label=label)
            if threads == 1:
                for ef, recall, qps in curve:
                    axis.annotate(str(ef), (recall, qps), fontsize=7, textcoords="offset points", xytext=(3, 3))
        axis.set(title=f"{name}, one batch of all queries, k 10", xlabel="recall@10", ylabel="queries/s", yscale="log")
        axis.grid(True, which="both", alpha=0.3)
        axis.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(path, dpi=80)
    plt.close(figure)

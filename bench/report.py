"""Markdown tables from the rows the workers produced."""

import re

from measure import BANDWIDTH, BATCH_QPS, BOUND_SHARE, CALL_US, INSERT, MEMORY, QPS, RECALL, SCAN_BYTES

TARNWICK_LIST = "tarnwick upsert per point, list"
TARNWICK_ROW = "tarnwick upsert per point, numpy row"
DEFAULT_EF = 32  # a new tarnwick store's ef_search
TARNWICK_CURVE = "tarnwick search, ef EF"
TARNWICK_SEARCH = TARNWICK_CURVE.replace("EF", str(DEFAULT_EF))
# Each graph peer's single-query subjects, EF standing for its search width.
PEER_CURVES = {"hnswlib": "hnswlib knn_query, ef EF", "faiss": "faiss IndexHNSWFlat search, efSearch EF",
               "usearch": "usearch search, expansion_search EF"}
GOAL = 1.3  # tarnwick's single-query rate at equal recall over the fastest peer's

# (measure, tarnwick subject, peer subject): one line of the comparison table each.
HNSWLIB_PER_POINT, HNSWLIB_BULK = "hnswlib add_items per point", "hnswlib add_items bulk, 1 thread"
BULK_PEERS = (HNSWLIB_BULK, "faiss IndexHNSWFlat add, 1 thread", "usearch add, 1 thread")
COMPARISONS = ([(INSERT, TARNWICK_LIST, HNSWLIB_PER_POINT), (INSERT, TARNWICK_ROW, HNSWLIB_PER_POINT)]
               + [(INSERT, TARNWICK_ROW, peer) for peer in BULK_PEERS]
               + [(MEMORY, TARNWICK_ROW, HNSWLIB_PER_POINT)]
               + [(MEMORY, TARNWICK_LIST, peer) for peer in BULK_PEERS])


def _format(measure, value):
    if value is None:
        return "n/a"
    if measure in (RECALL, BOUND_SHARE):
        return f"{value:.3f}"
    if "microseconds" in measure:
        return f"{value:.2f}"
    return f"{value:,.0f}"


def _lookup(rows):
    return {(r["subject"], r["measure"]): r["value"] for r in rows}


def _ratio(a, b):
    return f"{a / b:.2f}" if a is not None and b else "n/a"


def _curve(values, template, measure=QPS):
    """[(ef, recall, rate)] of the subjects `template` names with EF replaced, by ef."""
    pattern = re.compile(re.escape(template).replace("EF", r"(\d+)"))
    points = []
    for (subject, measured), rate in values.items():
        found = pattern.fullmatch(subject)
        if found and measured == measure:
            points.append((int(found[1]), values.get((subject, RECALL)), rate))
    return sorted(points)


def _equal_recall(values, recall, template, measure=QPS):
    """(ef, recall, rate, reached) of the peer at the smallest ef reaching `recall`, else at
    its best recall with reached False; None without a curve."""
    curve = _curve(values, template, measure)
    if not curve or recall is None:
        return None
    reaching = [point for point in curve if point[1] >= recall]
    return reaching[0] + (True,) if reaching else max(curve, key=lambda point: point[1]) + (False,)


def graph_table(results):
    """Single-query rate of tarnwick at its own ef_search against each peer at equal recall,
    the fastest of them, and the share of neighbours the search decided by bound."""
    lines = ["| dataset | tarnwick recall@10 | tarnwick queries/s | peer at equal recall | peer recall@10 "
             "| peer queries/s | tarnwick/peer |", "|---|---:|---:|---|---:|---:|---:|"]
    for name, rows in results.items():
        values = _lookup(rows)
        recall, rate = values.get((TARNWICK_SEARCH, RECALL)), values.get((TARNWICK_SEARCH, QPS))
        if rate is None:
            continue
        head = f"| {name} | {_format(RECALL, recall)} | {_format(QPS, rate)} "
        matched = []
        for template in PEER_CURVES.values():
            found = _equal_recall(values, recall, template)
            if found:
                ef, peer_recall, peer_rate, reached = found
                peer = template.replace("EF", str(ef)) + ("" if reached else " (its best recall)")
                matched.append((peer_rate, peer))
                lines.append(head + f"| {peer} | {_format(RECALL, peer_recall)} | {_format(QPS, peer_rate)} "
                                    f"| {_ratio(rate, peer_rate)} |")
        if len(matched) > 1:
            peer_rate, peer = max(matched)
            verdict = "met" if rate / peer_rate >= GOAL else "not met"
            lines.append(head + f"| fastest: {peer} (goal {GOAL}x {verdict}) | | {_format(QPS, peer_rate)} "
                                f"| {_ratio(rate, peer_rate)} |")
        share = values.get((TARNWICK_SEARCH, BOUND_SHARE), None)
        lines.append(head + f"| {BOUND_SHARE} | | {_format(BOUND_SHARE, share)} | |")
    return "\n".join(lines)


def comparison_table(results):
    """results: {dataset name: [row dict, ...]} -> markdown with tarnwick/peer ratios."""
    lines = ["| dataset | measure | tarnwick | value | peer | value | tarnwick/peer |",
             "|---|---|---|---:|---|---:|---:|"]
    for name, rows in results.items():
        values = _lookup(rows)
        for measure, ours, peer in COMPARISONS:
            a, b = values.get((ours, measure)), values.get((peer, measure))
            if b is None:
                continue
            lines.append(f"| {name} | {measure} | {ours.removeprefix('tarnwick ')} | {_format(measure, a)} "
                         f"| {peer} | {_format(measure, b)} | {_ratio(a, b)} |")
    return "\n".join(lines)


def raw_table(results):
    """Every measured value, one line per (dataset, subject, measure)."""
    lines = ["| dataset | subject | measure | value |", "|---|---|---|---:|"]
    for name, rows in results.items():
        for r in rows:
            lines.append(f"| {name} | {r['subject']} | {r['measure']} | {_format(r['measure'], r['value'])} |")
    return "\n".join(lines)


SCAN = "tarnwick exact scan, 1 thread"
FORMS = ("numpy float32", "numpy float64", "tuple", "array.array f")


def _batch_subject(library, ef, threads):
    if library == "tarnwick":
        return f"tarnwick batch_search, ef {ef}, {threads} worker(s)"
    return f"hnswlib knn_query batch, ef {ef}, {threads} thread(s)"


def _line(name, measure, values, ours, peer, ours_value=None, peer_value=None):
    a = ours_value if ours_value is not None else values.get((ours, measure))
    b = peer_value if peer_value is not None else values.get((peer, measure))
    if a is None and b is None:
        return None
    return f"| {name} | {measure} | {ours} | {_format(measure, a)} | {peer} | {_format(measure, b)} | {_ratio(a, b)} |"


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
        for threads, ours in ((1, one), (2, two)):
            template = _batch_subject("hnswlib", "EF", threads)
            found = _equal_recall(values, values.get((ours, RECALL)), template, BATCH_QPS)
            if found:
                peer = template.replace("EF", str(found[0]))
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
    """Single-query queries/s against recall@10, one thread, a panel per graph dataset: tarnwick
    by ef_search, each peer by its search width."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    curves = {"tarnwick": TARNWICK_CURVE, **PEER_CURVES}
    graphs = {name: _lookup(rows) for name, rows in results.items()
              if _curve(_lookup(rows), TARNWICK_CURVE) and any(_curve(_lookup(rows), t) for t in PEER_CURVES.values())
              and not name.startswith("small")}
    if not graphs:
        return
    figure, axes = plt.subplots(1, len(graphs), figsize=(5.5 * len(graphs), 4.2), squeeze=False)
    for axis, (name, values) in zip(axes[0], graphs.items()):
        for (library, template), marker in zip(curves.items(), "osD^"):
            curve = _curve(values, template)
            if not curve:
                continue
            axis.plot([c[1] for c in curve], [c[2] for c in curve], marker + "-", markersize=4, label=library)
            if library == "tarnwick":
                for ef, recall, qps in curve:
                    axis.annotate(str(ef), (recall, qps), fontsize=7, textcoords="offset points", xytext=(3, 3))
        axis.set(title=f"{name}, single queries, 1 thread, k 10", xlabel="recall@10", ylabel="queries/s",
                 yscale="log")
        axis.grid(True, which="both", alpha=0.3)
        axis.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(path, dpi=80)
    plt.close(figure)

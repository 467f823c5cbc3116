"""Resources: a method called over and over, working or failing, keeps the process's memory
flat; the largest limit and a vector of ten million elements cost memory in proportion to
the data, never to the numbers."""

import gc
import json
import os
import subprocess
import sys
import tempfile

import numpy as np
import pytest

from tarnwick import VectorStorage

CALLS = [pytest.param(20_000, id="20k"), pytest.param(200_000, id="200k", marks=pytest.mark.slow)]
# Room for the allocator's own bookkeeping; a leak of 64 bytes a call exceeds it within 20,000 calls.
RSS_SLACK_KIB = 1024
BLOCK_SLACK = 200  # Python objects still alive after the loop (caches, interned names)
Q = [0.3, -0.1, 0.9, 0.2, 0.0, 0.5, -0.7, 0.4]


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise LookupError(field)


@pytest.fixture(scope="module")
def files():
    """A directory for the files of save and load, in memory when possible (a save syncs)."""
    in_memory = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(dir=in_memory) as name:
        small = VectorStorage()
        for i in range(20):
            small.upsert(i, Q, {"tenant_id": "ab"[i % 2], "n": i})
        small.save(os.path.join(name, "small"))
        with open(os.path.join(name, "corrupt"), "wb") as corrupt:
            corrupt.write(open(os.path.join(name, "small"), "rb").read()[:-30])
        yield name


@pytest.fixture(scope="module")
def store():
    rng = np.random.default_rng(3)
    store = VectorStorage()
    for i in range(600):  # the graph route
        store.upsert(i, rng.standard_normal(8).tolist(), {"tenant_id": "ab"[i % 2], "title": "t" * 70})
    return store


def variants(store, files):
    """(name, call, exception it raises or None): every method, working and failing at each
    stage of its work."""
    scratch = VectorStorage()
    small = os.path.join(files, "small")
    return {
        "new": (VectorStorage, None),
        "new with an argument": (lambda: VectorStorage(1), TypeError),
        "upsert, replacing a point": (lambda: store.upsert(7, Q, {"tenant_id": "a", "title": "x" * 80, "n": 1.5}), None),
        "upsert, bad payload key after a good one": (lambda: store.upsert(7, Q, {"title": "x" * 80, 2: 1}), TypeError),
        "upsert, payload value too large": (lambda: store.upsert(7, Q, {"a": "b", "n": 2**63}), OverflowError),
        "upsert, bad vector item": (lambda: store.upsert(7, [1.0] * 50 + ["x"], None), TypeError),
        "upsert, surrogate key": (lambda: store.upsert(7, Q, {"\ud800": 1}), UnicodeEncodeError),
        "search": (lambda: store.search(Q, 10, "cosine", tenant_id="a"), None),
        "search, unknown metric": (lambda: store.search(Q, 10, "manhattan"), ValueError),
        "search, negative limit": (lambda: store.search(Q, -1, "cosine"), OverflowError),
        "batch_search": (lambda: store.batch_search([Q, Q, Q, Q], 5, "l2"), None),
        "batch_search, bad last query": (lambda: store.batch_search([Q, Q, "ab"], 5, "l2"), TypeError),
        "save": (lambda: scratch.save(os.path.join(files, "out")), None),
        "save, missing directory": (lambda: scratch.save(os.path.join(files, "no", "out")), OSError),
        "save, full device": (lambda: scratch.save("/dev/full"), OSError),
        "load": (lambda: scratch.load(small), None),
        "load, missing file": (lambda: scratch.load(os.path.join(files, "missing")), OSError),
        "load, cut file": (lambda: scratch.load(os.path.join(files, "corrupt")), OSError),
    }


NAMES = list(variants(None, ""))


def repeat(call, error, count):
    if error is None:
        for _ in range(count):
            call()
        return
    for _ in range(count):
        try:
            call()
        except error:
            pass
        else:
            raise AssertionError("the failing variant succeeded")


@pytest.mark.parametrize("calls", CALLS)
@pytest.mark.parametrize("name", NAMES)
def test_repeated_calls_keep_memory_flat(store, files, name, calls):
    call, error = variants(store, files)[name]
    repeat(call, error, calls // 10)  # warm-up: caches, the batch worker pool, allocator arenas
    gc.collect()
    rss_before, blocks_before = status_kib("VmRSS"), sys.getallocatedblocks()
    repeat(call, error, calls)
    gc.collect()
    rss_after, blocks_after = status_kib("VmRSS"), sys.getallocatedblocks()
    print(f"{name}: {calls} calls, VmRSS {rss_before} -> {rss_after} KiB, blocks {blocks_before} -> {blocks_after}")
    assert rss_after - rss_before < RSS_SLACK_KIB
    assert blocks_after - blocks_before < BLOCK_SLACK


# Each step in a subprocess, with the peak RSS reset before it (/proc/self/clear_refs), so
# that the growth of the peak over the RSS at its start is what the step alone needed.
PEAKS = r"""
import json, os, sys
from tarnwick import VectorStorage

def kib(field):
    for line in open("/proc/self/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1])

def measure(step):
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    start = kib("VmRSS")
    result = step()
    return result, kib("VmHWM") - start

n, path = int(sys.argv[1]), sys.argv[2]
growth = {}
vector = [0.5] * n
store = VectorStorage()
store.upsert(0, [1.0, 2.0], None)
_, growth["upsert"] = measure(lambda: store.upsert(1, vector, {"tenant_id": "a"}))
answer, growth["search"] = measure(lambda: store.search(vector, 2**64 - 1, "cosine"))
assert answer[0][0] == 1, answer  # point 0 has another length: skipped
answers, growth["batch_search"] = measure(lambda: store.batch_search([vector], 2**64 - 1, "dot"))
assert answers[0][0][0] == 1
_, growth["save"] = measure(lambda: store.save(path))
del vector
copy = VectorStorage()
_, growth["load"] = measure(lambda: copy.load(path))
_, growth["load over a full store"] = measure(lambda: copy.load(path))
print(json.dumps(growth))
"""


def step_growth_kib(count, tmp_path):
    if not os.access("/proc/self/clear_refs", os.W_OK):
        pytest.skip("the peak RSS cannot be reset here")
    done = subprocess.run([sys.executable, "-c", PEAKS, str(count), str(tmp_path / "big")],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_ten_million_element_vector_costs_a_few_times_its_size(tmp_path):
    count = 10_000_000
    data_kib = count * 4 // 1024
    growth = step_growth_kib(count, tmp_path)
    print(f"data {data_kib} KiB; peak RSS growth per step (KiB): {growth}")
    # upsert converts and copies the vector for the graph; load holds the file, the new
    # tables and (until the swap) the old ones; nothing needs more than three copies.
    for step, kib in growth.items():
        assert kib < 3.5 * data_kib, step


def test_largest_limit_allocates_by_the_results(store):
    """A limit of 2**64 - 1 asks for everything and sizes nothing from the number."""
    exact = VectorStorage()
    for i in range(50):
        exact.upsert(i, [float(i), 1.0], {"tenant_id": "ab"[i % 2]})
    assert len(exact.search([1.0, 1.0], 2**64 - 1, "euclidean")) == 50
    assert [len(a) for a in exact.batch_search([[1.0, 0.0]] * 3, 2**64 - 1, "dot", tenant_id="a")] == [25] * 3
    assert 0 < len(store.search(Q, 2**64 - 1, "cosine")) <= 600
    assert len(store.batch_search([Q] * 8, 2**64 - 1, "cosine", tenant_id="b")) == 8

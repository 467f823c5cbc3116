"""Faults on disk: a save killed at any moment leaves the old or the new snapshot; a save
onto a full file system fails cleanly and keeps the old file; a load of damaged bytes
either fails with OSError and changes nothing, or gives a store that works."""

import os
import pathlib
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from tarnwick import VectorStorage
from snapshot_bytes import WRITE_FAILED
from snapshot_format import LAYERS, Node, Point, Snapshot, encode

REPO = pathlib.Path(__file__).resolve().parents[2]
NO_SPACE = "No space left on device (os error 28)"


def synthetic_snapshot(count, dimension, seed):
    """A snapshot written directly: `count` points with one payload key each and a layer-0
    graph of 8 random links per node (building it by upserts would take minutes)."""
    rng = np.random.default_rng(seed)
    vectors = rng.standard_normal((count, dimension)).astype("<f4")
    links = rng.integers(0, count, (count, 8))
    points = [Point(i, i, vectors[i].tobytes(), {"tenant_id": "ab"[i % 2]}) for i in range(count)]
    nodes = [Node(i, i, [links[i].tolist()] + [[] for _ in range(LAYERS - 1)]) for i in range(count)]
    return encode(Snapshot(points, entry_point=0, nodes=nodes))


@pytest.fixture
def memory_dir(tmp_path):
    """A directory in memory when possible: the checks save often, and a save syncs."""
    if not os.access("/dev/shm", os.W_OK):
        yield tmp_path
        return
    with tempfile.TemporaryDirectory(dir="/dev/shm") as name:
        yield pathlib.Path(name)


def saved(store, path):
    store.save(str(path))
    return path.read_bytes()


# The child loads both snapshots, saves the first to the target once, says how long a save
# takes, then saves the two in turn to the target until it is killed.
SAVER = r"""
import sys, time
from tarnwick import VectorStorage
a, b, target = sys.argv[1:]
stores = []
for path in (a, b):
    store = VectorStorage()
    store.load(path)
    stores.append(store)
started = time.monotonic()
stores[0].save(target)
print(time.monotonic() - started, flush=True)
while True:
    stores[1].save(target)
    stores[0].save(target)
"""
TEMPORARY = re.compile(r"^\.target\.tmp-(\d+)-\d+-[0-9a-f]{16}$")


@pytest.fixture(scope="module")
def two_snapshots(tmp_path_factory):
    """Snapshots A (50,000 points) and B (40,000 points) in the form a save writes them."""
    folder = tmp_path_factory.mktemp("snapshots")
    contents = []
    for name, count, seed in (("a", 50_000, 1), ("b", 40_000, 2)):
        (folder / name).write_bytes(synthetic_snapshot(count, 16, seed))
        store = VectorStorage()
        store.load(str(folder / name))
        contents.append(saved(store, folder / name))
    return folder, contents


@pytest.mark.parametrize("kills", [pytest.param(10, id="10"), pytest.param(50, id="50", marks=pytest.mark.slow)])
def test_killed_save_leaves_the_old_or_the_new_snapshot(two_snapshots, tmp_path, kills):
    folder, (content_a, content_b) = two_snapshots
    target = tmp_path / "target"
    seed = random.randrange(2**32)
    rng = random.Random(seed)
    found = {"a": 0, "b": 0}
    temporaries_left = 0
    for _ in range(kills):
        child = subprocess.Popen([sys.executable, "-c", SAVER, str(folder / "a"), str(folder / "b"), str(target)],
                                 stdout=subprocess.PIPE, text=True)
        try:
            save_seconds = float(child.stdout.readline())
            time.sleep(rng.uniform(0, 3 * save_seconds))
        finally:
            child.kill()
            child.wait()
        assert child.returncode == -signal.SIGKILL, f"seed {seed}"
        content = target.read_bytes()
        assert content in (content_a, content_b), f"seed {seed}"
        found["a" if content == content_a else "b"] += 1
        VectorStorage().load(str(target))
        # Only the killed save's own temporary file may remain, under its temporary name.
        others = set(os.listdir(tmp_path)) - {"target"}
        assert all((m := TEMPORARY.match(name)) and int(m[1]) == child.pid for name in others), others
        assert len(others) <= 1
        temporaries_left += len(others)
        for name in others:
            (tmp_path / name).unlink()
    print(f"{kills} kills (seed {seed}): target held A {found['a']} times, B {found['b']} times; "
          f"{temporaries_left} killed saves left a temporary file")


def mount_small_tmpfs(folder):
    if os.geteuid() != 0 or shutil.which("mount") is None:
        pytest.skip("mounting a tmpfs needs root")
    folder.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(folder)], capture_output=True)
    if done.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {done.stderr.decode().strip()}")


def fill_up(path):
    """Writes `path` until the file system refuses another byte."""
    with open(path, "wb", buffering=0) as filler:
        for chunk in (b"\x00" * 4096, b"\x00"):
            try:
                while True:
                    filler.write(chunk)
            except OSError:
                pass


def test_save_onto_a_full_file_system_keeps_the_previous_file(tmp_path):
    disk = tmp_path / "small-disk"
    mount_small_tmpfs(disk)
    try:
        small = VectorStorage()
        for i in range(5):
            small.upsert(i, [float(i)] * 4, None)
        large = VectorStorage()
        rng = np.random.default_rng(5)
        for i in range(600):  # about 1.3 MB: more than the whole file system
            large.upsert(i, rng.standard_normal(512).tolist(), None)
        old = saved(small, disk / "store")
        cases = [("larger than the disk", large, False), ("onto a full disk", small, True)]
        for name, store, fill in cases:
            if fill:
                fill_up(disk / "filler")
            with pytest.raises(OSError) as raised:
                store.save(str(disk / "store"))
            assert str(raised.value) == WRITE_FAILED + NO_SPACE, name
            assert (disk / "store").read_bytes() == old, name
            assert sorted(os.listdir(disk)) == sorted(["store"] + (["filler"] if fill else [])), name
        (disk / "filler").unlink()
        small.upsert(9, [1.0], None)
        assert saved(small, disk / "store") != old
    finally:
        subprocess.run(["umount", str(disk)], check=True)


def reference_store():
    """600 points (the graph route), payloads of every kind, absent and empty ones too."""
    rng = np.random.default_rng(11)
    store = VectorStorage()
    for i in range(600):
        payload = [None, {}, {"tenant_id": "ab"[i % 2], "n": -i, "x": i / 7, "long": "é" * 40}][i % 3]
        store.upsert(i * 7919, rng.standard_normal(6).tolist(), payload)
    return store


def exercise(store):
    """A loaded store, however odd its content, answers every method without crashing."""
    for metric in ("cosine", "dot", "l2"):
        for tenant in (None, "a", ""):
            answer = store.search([0.5, -0.2, 0.1, 0.9, 0.0, 0.3], 20, metric, tenant_id=tenant)
            assert all(type(i) is int and type(s) is float for i, s in answer)
    assert len(store.batch_search([[1.0] * 6, [], [0.5] * 3], 2**64 - 1, "cosine")) == 3
    store.upsert(12345, [0.1] * 6, {"tenant_id": "a"})
    store.search([0.1] * 6, 5, "cosine", tenant_id="a")


def check_load(store, path, scratch):
    """Loads `path`: either OSError with the store unchanged, or a store that works."""
    before = saved(store, scratch)
    try:
        store.load(str(path))
    except OSError as error:
        assert type(error) is OSError
        assert saved(store, scratch) == before
        return False
    exercise(store)
    return True


def test_every_fuzz_corpus_file_loads_or_fails_cleanly(tmp_path):
    corpus = sorted((REPO / "fuzz" / "corpus").iterdir())
    assert corpus
    loaded = [path.name for path in corpus if check_load(reference_store(), path, tmp_path / "scratch")]
    print(f"{len(corpus)} corpus files, {len(loaded)} loaded: {loaded}")


@pytest.fixture(scope="module")
def real_snapshot(tmp_path_factory):
    path = tmp_path_factory.mktemp("real") / "snapshot"
    saved(reference_store(), path)
    return path


def damaged(data, kind, position, value):
    """`data` with one kind of damage at `position` (taken modulo the length)."""
    if not data:
        return data
    at = position % len(data)
    if kind == "flip":
        return data[:at] + bytes([data[at] ^ (1 << (value % 8))]) + data[at + 1:]
    if kind == "set":
        return data[:at] + bytes([value % 256]) + data[at + 1:]
    if kind == "cut":
        return data[:at]
    if kind == "delete":
        return data[:at] + data[at + 1 + value % 16:]
    return data[:at] + struct.pack("<Q", value) + data[at:]  # insert eight bytes


DAMAGE = st.lists(st.tuples(st.sampled_from(["flip", "flip", "set", "cut", "delete", "insert"]),
                            st.integers(0, 2**32), st.integers(0, 2**64 - 1)), min_size=1, max_size=3)


@pytest.mark.parametrize("examples", [pytest.param(300, id="300"), pytest.param(2000, id="2000", marks=pytest.mark.slow)])
def test_damaged_snapshots_load_or_fail_cleanly(real_snapshot, memory_dir, examples):
    store = VectorStorage()
    original = real_snapshot.read_bytes()
    outcomes = {True: 0, False: 0}

    @settings(max_examples=examples, deadline=None, database=None, suppress_health_check=list(HealthCheck))
    @given(damage=DAMAGE)
    def run(damage):
        data = original
        for kind, position, value in damage:
            data = damaged(data, kind, position, value)
        (memory_dir / "damaged").write_bytes(data)
        store.load(str(real_snapshot))
        outcomes[check_load(store, memory_dir / "damaged", memory_dir / "scratch")] += 1

    run()
    print(f"{examples} damaged snapshots: {outcomes[True]} loaded, {outcomes[False]} refused")

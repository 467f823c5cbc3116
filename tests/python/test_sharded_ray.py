"""tarnwick_ray.ShardedStore on a local Ray cluster: routing by the id's hash, merged answers
equal to one store's, writes split per shard, save and load of every shard or none, and dead
shards reported by name."""

import faulthandler
import json
import math
import random
import struct

import pytest

ray = pytest.importorskip("ray", reason="Ray is not installed (pip install 'tarnwick[ray]')")

from tarnwick import VectorStorage  # noqa: E402
from tarnwick_ray import (HASH_NAME, PartialWriteError, ShardedStore,  # noqa: E402
                          ShardUnavailableError, shard_of, splitmix64)
from tarnwick_ray.merge import merge_answers  # noqa: E402

METRICS = ["cosine", "dot_product", "euclidean"]
SEARCH_UNKNOWN = ("Unsupported metric option. Choose from: 'cosine', 'dot_product' ('dot'), "
                  "or 'euclidean' ('l2').")


@pytest.fixture(scope="module", autouse=True)
def cluster():
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False,
             configure_logging=False)
    yield
    ray.shutdown()


@pytest.fixture(autouse=True)
def watchdog():
    # Against a hung cluster only: a generous bound, never a measure of speed.
    faulthandler.dump_traceback_later(600, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def bits(answer):
    """An answer with each score as its exact bits: -0.0 and 0.0 differ, NaN equals NaN."""
    return [(entry[0], struct.pack("<d", entry[1]), *entry[2:]) for entry in answer]


def random_points(count, dim, seed, first_id=0):
    generator = random.Random(seed)
    tenants = ["a", "b", None]
    points = []
    for number in range(count):
        tenant = tenants[number % 3]
        points.append((first_id + number, [generator.gauss(0.0, 1.0) for _ in range(dim)],
                       None if tenant is None else {"tenant_id": tenant, "n": number}))
    return points


def kill_shard(store, shard):
    """Ends a shard's actor; ray.kill returns before it is gone, so wait until it is."""
    ray.kill(store.actors[shard], no_restart=True)
    while True:
        try:
            ray.get(store.actors[shard].ping.remote())
        except ray.exceptions.RayActorError:
            return


def fill(stores, points):
    for point_id, vector, payload in points:
        for store in stores:
            store.upsert(point_id, vector, payload)


def test_hash_is_splitmix64_then_modulo():
    # The first outputs of the SplitMix64 generator seeded with 0 finalise multiples of its
    # increment: the published reference values.
    gamma = 0x9E3779B97F4A7C15
    reference = [0xE220A8397B1DCDAF, 0x6E789E6AA1B965F4, 0x06C45D188009454F]
    assert [splitmix64(gamma * k % 2**64) for k in (1, 2, 3)] == reference
    assert HASH_NAME == "splitmix64-mod"
    for point_id in (0, 1, 12345, 2**63, 2**64 - 1):
        assert shard_of(point_id, 7) == splitmix64(point_id) % 7
    counts = [0] * 4
    for point_id in range(20000):
        counts[shard_of(point_id, 4)] += 1
    assert all(4500 < count < 5500 for count in counts), counts


@pytest.mark.parametrize("point_id, error", [(-1, OverflowError), (2**64, OverflowError),
                                             (1.0, TypeError), ("7", TypeError)])
def test_ids_outside_u64_are_refused_before_any_shard(point_id, error):
    with pytest.raises(error) as raised:
        shard_of(point_id, 3)
    assert raised.value.__notes__ == ["while processing 'point_id'"]


@pytest.mark.parametrize("higher_first, expected", [
    (True, [(1, 0.9), (3, 0.9), (4, 0.5), (5, -1.0), (2, math.nan), (6, math.nan)]),
    (False, [(5, -1.0), (4, 0.5), (1, 0.9), (3, 0.9), (2, math.nan), (6, math.nan)]),
])
def test_merge_orders_by_metric_with_nan_last_and_ties_by_shard(higher_first, expected):
    shard_answers = [[(1, 0.9), (2, math.nan)], [(3, 0.9), (4, 0.5), (5, -1.0), (6, math.nan)]]
    if not higher_first:
        shard_answers = [[(1, 0.9), (2, math.nan)], [(5, -1.0), (4, 0.5), (3, 0.9), (6, math.nan)]]
    assert bits(merge_answers(shard_answers, 10, higher_first)) == bits(expected)
    assert bits(merge_answers(shard_answers, 3, higher_first)) == bits(expected[:3])
    assert merge_answers(shard_answers, 0, higher_first) == []
    assert bits(merge_answers(shard_answers, 2**64 - 1, higher_first)) == bits(expected)


@pytest.fixture(scope="module")
def exact_pair():
    """A 3-shard store and one VectorStorage holding the same 450 points (the exact route on
    both), with random coordinates, so that no two points tie on any query."""
    sharded, single = ShardedStore(3), VectorStorage()
    points = random_points(447, 8, seed=1)
    points += [(9000, [1.0, 2.0], {"tenant_id": "a"}),           # another length: left out
               (9001, [math.nan] * 8, {"tenant_id": "b"}),       # NaN scores: last
               (9002, [0.0] * 8, None)]                          # zero: left out under cosine
    fill([sharded, single], points)
    return sharded, single


def test_merged_answers_are_the_single_stores_bit_for_bit(exact_pair):
    # Each shard answers its best `limit` by the same exact scan that the single store runs
    # on all points. Without ties the single store's best `limit` is a sequence fixed by the
    # scores alone, and every one of its entries is among the best `limit` of its own shard,
    # so the merge of the shards' best lists (NaN last, as the scan puts it) is that sequence.
    sharded, single = exact_pair
    assert len(sharded) == len(single) == 450
    for metric in METRICS:
        # A zero query ties every point at 0.0 under the dot product; elsewhere it is no tie.
        queries = [point[1] for point in random_points(12, 8, seed=2)] + [[1.0, 2.0]]
        queries += [] if metric == "dot_product" else [[0.0] * 8]
        for tenant in (None, "a", "b", "nobody"):
            for limit in (0, 1, 7, 100, 449, 2**64 - 1):
                expected = single.batch_search(queries, limit, metric, tenant)
                got = sharded.batch_search(queries, limit, metric, tenant)
                assert [bits(answer) for answer in got] == [bits(answer) for answer in expected]
            query = queries[0]
            assert bits(sharded.search(query, 9, metric, tenant)) == bits(
                single.search(query, 9, metric, tenant))
            assert sharded.search(query, 9, metric, tenant, with_payload=True) == single.search(
                query, 9, metric, tenant, with_payload=True)


def test_ties_fall_by_shard_order_and_keep_the_score_sequence():
    # The single store orders equal scores by its table order, which no shard can know; what
    # holds is that the scores are the same sequence, that the ids above the last score are
    # the same, and that within a run of equal scores the shards come in ascending order.
    sharded, single = ShardedStore(3), VectorStorage()
    generator = random.Random(3)
    vectors = [[generator.gauss(0.0, 1.0) for _ in range(4)] for _ in range(40)]
    fill([sharded, single], [(point_id, vectors[point_id % 40], None) for point_id in range(200)])
    query = [0.5, -0.25, 1.0, 0.0]
    for metric in METRICS:
        for limit in (3, 12, 200):
            expected, got = single.search(query, limit, metric), sharded.search(query, limit, metric)
            assert [struct.pack("<d", s) for _, s in got] == [struct.pack("<d", s) for _, s in expected]
            last = got[-1][1]
            assert ({i for i, s in got if s != last} == {i for i, s in expected if s != last})
            for (_, score), (_, next_score), left, right in zip(
                    got, got[1:], [shard_of(i, 3) for i, _ in got], [shard_of(i, 3) for i, _ in got[1:]]):
                assert score != next_score or left <= right


def test_argument_errors_are_the_stores_own(exact_pair):
    sharded, _ = exact_pair
    with pytest.raises(ValueError) as raised:
        sharded.search([1.0] * 8, 3, "manhattan")
    assert str(raised.value) == SEARCH_UNKNOWN
    with pytest.raises(TypeError) as raised:
        sharded.batch_search([[1.0] * 8, "ab"], 3, "cosine")
    assert raised.value.__notes__ == ["while processing 'query_vectors'"]
    with pytest.raises(TypeError) as raised:
        sharded.batch_search((row for row in [[1.0] * 8]), 3, "cosine")
    assert "Sequence" in str(raised.value)
    with pytest.raises(OverflowError):
        sharded.search([1.0] * 8, -1, "cosine")
    with pytest.raises(TypeError) as raised:
        sharded.upsert(1, "abc", None)  # raised by the shard, handed on as itself
    assert raised.value.__notes__ == ["while processing 'vector'"]
    assert len(sharded) == 450


def test_point_calls_reach_the_shard_of_the_id():
    store, single = ShardedStore(4), VectorStorage()
    points = random_points(60, 3, seed=4, first_id=2**64 - 60)
    fill([store, single], points)
    assert len(store) == 60
    for point_id, _, _ in points:
        assert point_id in store
        assert store.get(point_id) == single.get(point_id)
    assert 5 not in store and store.get(5) is None
    with pytest.raises(TypeError):
        "x" in store  # noqa: B015
    # Killing one shard's actor loses exactly the ids that hash to it.
    kill_shard(store, 2)
    for point_id, _, _ in points:
        if shard_of(point_id, 4) == 2:
            with pytest.raises(ShardUnavailableError) as raised:
                store.get(point_id)
            assert raised.value.shard == 2
            assert str(raised.value).startswith("shard 2 of 4 is unavailable (")
        else:
            assert store.get(point_id) == single.get(point_id)


def test_many_point_writes_split_per_shard():
    store, single = ShardedStore(3), VectorStorage()
    points = random_points(300, 6, seed=5)
    ids, vectors, payloads = (list(column) for column in zip(*points))
    calls = []
    store.upsert_many(ids, vectors, payloads, progress=lambda done, total: calls.append((done, total)))
    single.upsert_many(ids, vectors, payloads)
    assert len(calls) == 3 and calls[-1] == (300, 300) and calls == sorted(calls)
    assert len(store) == 300
    query = vectors[7]
    for metric in METRICS:
        assert bits(store.search(query, 20, metric, "a")) == bits(single.search(query, 20, metric, "a"))


def test_deletes_reach_the_shard_of_each_id():
    store, single = ShardedStore(3), VectorStorage()
    points = random_points(300, 6, seed=10)
    fill([store, single], points)
    ids = [point[0] for point in points]
    assert store.delete(ids[0]) is True and store.delete(ids[0]) is False
    assert store.delete_many(ids[:100] + [10**6]) == 99
    single.delete_many(ids[:100])
    assert len(store) == 200 and ids[50] not in store and ids[150] in store
    query = points[150][1]
    for metric in METRICS:
        assert bits(store.search(query, 20, metric)) == bits(single.search(query, 20, metric))


IDS = [5000, 5001, 5002]


# The messages and notes of VectorStorage.upsert_many for the same input.
@pytest.mark.parametrize("arguments, error, note", [
    (([5000, 5001, -1], [[1.0]] * 3, None), OverflowError, "while processing 'point_ids' item 2"),
    ((IDS, [[1.0], [2.0], "ab"], None), TypeError, "while processing 'vectors' item 2"),
    ((IDS, [[1.0]] * 3, [None, None, {5: "x"}]), TypeError, "while processing 'payloads' item 2"),
    ((IDS, [[1.0]] * 3, [None, 3, None]), TypeError, "while processing 'payloads' item 1"),
    ((IDS, [[1.0]] * 3, "xyz"), TypeError, "while processing 'payloads'"),
    ((IDS, [[1.0]] * 2, None), ValueError, None),
    ((IDS, [[1.0]] * 3, [None]), ValueError, None),
])
def test_bad_upsert_many_changes_no_shard(exact_pair, arguments, error, note):
    sharded, _ = exact_pair
    with pytest.raises(error) as raised:
        sharded.upsert_many(*arguments)
    with pytest.raises(error) as single_raised:
        VectorStorage().upsert_many(*arguments)
    assert str(raised.value) == str(single_raised.value) or error is OverflowError
    if note:
        assert raised.value.__notes__ == single_raised.value.__notes__ == [note]
    assert len(sharded) == 450 and 5000 not in sharded and sharded.search([1.0], 5, "l2") == []


def test_a_dead_shard_is_named_and_load_brings_the_store_back(tmp_path):
    store = ShardedStore(3)
    points = random_points(240, 5, seed=6)
    fill([store], points)
    store.save(str(tmp_path))
    query = points[0][1]
    saved = store.batch_search([query], 30, "cosine")
    kill_shard(store, 1)
    later = next(i for i in range(10**6, 10**7) if shard_of(i, 3) != 1)
    store.upsert(later, points[1][1], None)  # the live shards change after the save
    for call in (lambda: store.search(query, 5, "cosine"), lambda: len(store),
                 lambda: store.save(str(tmp_path))):
        with pytest.raises(ShardUnavailableError) as raised:
            call()
        assert raised.value.shard == 1 and "shard 1 of 3" in str(raised.value)
        assert raised.value.__cause__ is None and "Ray" not in type(raised.value).__name__
    # The failed save left the previous one whole, and no file of its own.
    assert sorted(path.name for path in tmp_path.iterdir()) == [
        "manifest.json", "shard-0.snapshot", "shard-1.snapshot", "shard-2.snapshot"]
    store.load(str(tmp_path))
    assert len(store) == 240 and later not in store
    assert bits(store.batch_search([query], 30, "cosine")[0]) == bits(saved[0])


@pytest.mark.parametrize("method", ["upsert_many", "delete_many"])
def test_a_write_split_over_a_dead_shard_says_which_shards_applied(method):
    store = ShardedStore(3)
    ids = list(range(10**6, 10**6 + 30))
    fill([store], [(point_id, [1.0] * 5, None) for point_id in ids])
    kill_shard(store, 1)
    with pytest.raises(PartialWriteError) as raised:
        if method == "upsert_many":
            store.upsert_many(ids, [[2.0] * 5] * 30)
        else:
            store.delete_many(ids)
    assert raised.value.applied == (0, 2) and raised.value.failed == (1,)
    assert isinstance(raised.value.errors[0], ShardUnavailableError)
    assert str(raised.value).startswith(
        f"{method} was applied on shards [0, 2] and not on shards [1]: shard 1 of 3")
    expected = ([2.0] * 5, None) if method == "upsert_many" else None
    assert all(store.get(i) == expected for i in ids if shard_of(i, 3) != 1)


def test_save_writes_plain_snapshots_and_an_atomic_manifest(tmp_path):
    store, single = ShardedStore(2, m=8, ef_search=40), VectorStorage()
    points = random_points(120, 4, seed=7)
    fill([store, single], points)
    store.save(str(tmp_path))
    manifest = json.loads((tmp_path / "manifest.json").read_text())
    assert {key: manifest[key] for key in ("shards", "hash", "m", "ef_construction", "ef_search", "dim")} == {
        "shards": 2, "hash": "splitmix64-mod", "m": 8, "ef_construction": 64, "ef_search": 40, "dim": None}
    assert sorted(path.name for path in tmp_path.iterdir()) == [
        "manifest.json", "shard-0.snapshot", "shard-1.snapshot"]
    # Each shard's file is a VectorStorage snapshot holding exactly the ids that hash to it.
    for shard in range(2):
        part = VectorStorage()
        part.load(str(tmp_path / f"shard-{shard}.snapshot"))
        assert part.m == 8 and part.ef_search == 40
        assert manifest["files"][shard]["points"] == len(part)
        for point_id, _, _ in points:
            assert (point_id in part) == (shard_of(point_id, 2) == shard)
    # A single store's snapshot seeds a one-shard store.
    single.save(str(tmp_path / "single.snapshot"))
    seeded = ShardedStore(1)
    seeded.load_snapshot(str(tmp_path / "single.snapshot"))
    query = points[3][1]
    assert bits(seeded.search(query, 10, "dot")) == bits(single.search(query, 10, "dot"))


@pytest.mark.parametrize("damage, error", [
    ("other shard count", ValueError),
    ("other m", ValueError),
    ("changed shard file", OSError),
    ("missing shard file", OSError),
    ("broken manifest", OSError),
    ("no manifest", OSError),
])
def test_a_load_that_fails_changes_no_shard(tmp_path, damage, error):
    store = ShardedStore(2)
    fill([store], random_points(50, 3, seed=8))
    store.save(str(tmp_path))
    fill([store], random_points(20, 3, seed=9, first_id=1000))
    manifest_path = tmp_path / "manifest.json"
    manifest = json.loads(manifest_path.read_text())
    if damage == "other shard count":
        manifest["shards"] = 3
        manifest["files"].append({**manifest["files"][0], "file": "shard-2.snapshot"})
    elif damage == "other m":
        manifest["m"] = 32
    elif damage == "changed shard file":
        (tmp_path / "shard-1.snapshot").write_bytes(b"\x00\x10\x40\x20\x00\x00\x00")
    elif damage == "missing shard file":
        (tmp_path / "shard-1.snapshot").unlink()
    elif damage == "broken manifest":
        manifest_path.write_text("{")
    else:
        manifest_path.unlink()
    if damage.startswith("other"):
        manifest_path.write_text(json.dumps(manifest))
    with pytest.raises(error):
        store.load(str(tmp_path))
    assert len(store) == 70 and 1000 in store



@pytest.mark.slow
def test_four_graph_shards_recall_at_least_one_store():
    np = pytest.importorskip("numpy")
    generator = np.random.default_rng(11)
    centres = generator.normal(0.0, 1.0, (100, 32))

    def clustered(count):
        return (centres[generator.integers(0, 100, count)]
                + generator.normal(0.0, 0.5, (count, 32))).astype(np.float32)

    points, queries = clustered(200_000), clustered(200)
    ids = list(range(len(points)))
    single, sharded = VectorStorage(), ShardedStore(4)
    single.upsert_many(ids, points)
    sharded.upsert_many(ids, points)
    assert len(sharded) == len(single) == 200_000
    unit = points / np.linalg.norm(points, axis=1, keepdims=True)
    truth = np.argsort(-(queries @ unit.T), axis=1, kind="stable")[:, :10]

    def recall(answers):
        return sum(len({i for i, _ in answer} & set(row.tolist()))
                   for answer, row in zip(answers, truth)) / truth.size

    single_recall = recall(single.batch_search(queries, 10, "cosine"))
    sharded_recall = recall(sharded.batch_search(queries, 10, "cosine"))
    print(f"recall@10: one store {single_recall:.4f}, 4 shards {sharded_recall:.4f}")
    assert sharded_recall >= single_recall

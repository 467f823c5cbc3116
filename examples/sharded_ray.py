"""One collection over three shards on a local Ray cluster: bulk upsert, merged searches,
save, the loss of a shard and the load that brings the store back.

Usage: python examples/sharded_ray.py [POINTS]   (default 3000; needs `pip install "tarnwick[ray]"`)
"""

import random
import shutil
import sys
import tempfile

import ray

from tarnwick import VectorStorage
from tarnwick_ray import ShardedStore, ShardUnavailableError, shard_of

DIM = 16
SHARDS = 3


def main() -> None:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 3000
    generator = random.Random(7)
    ids = list(range(count))
    vectors = [[generator.gauss(0.0, 1.0) for _ in range(DIM)] for _ in ids]
    payloads = [{"tenant_id": "acme" if point_id % 2 else "globex"} for point_id in ids]

    # A local cluster here; on a real one, ray.init(address="auto") joins it instead.
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, configure_logging=False)
    directory = tempfile.mkdtemp(prefix="tarnwick-sharded-")
    try:
        store = ShardedStore(SHARDS, dim=DIM)
        store.upsert_many(ids, vectors, payloads)
        per_shard = [sum(shard_of(point_id, SHARDS) == shard for point_id in ids)
                     for shard in range(SHARDS)]
        print(f"stored {len(store)} points on {SHARDS} shards: {per_shard}")

        query = vectors[0]
        best = store.search(query, 5, "cosine")
        print(f"best match of point 0 is itself: {best[0][0] == 0}")
        acme = store.search(query, 5, "l2", tenant_id="acme", with_payload=True)
        print(f"tenant acme only: {all(payload == {'tenant_id': 'acme'} for _, _, payload in acme)}")
        batch = store.batch_search(vectors[:20], 5, "dot")
        print(f"batch answers equal single searches: "
              f"{batch == [store.search(vector, 5, 'dot') for vector in vectors[:20]]}")

        if count < 500:
            # Every shard and one store of all the points are scanned exactly: same answers.
            single = VectorStorage(dim=DIM)
            single.upsert_many(ids, vectors, payloads)
            print(f"same answers as one VectorStorage: {single.search(query, 10, 'cosine') == store.search(query, 10, 'cosine')}")

        store.save(directory)
        before = store.batch_search(vectors[:20], 10, "cosine")
        ray.kill(store.actors[1], no_restart=True)
        while True:  # ray.kill returns before the actor is gone
            try:
                store.search(query, 5, "cosine")
            except ShardUnavailableError as error:
                print(f"after losing an actor: {type(error).__name__} for shard {error.shard}")
                break
        store.load(directory)
        print(f"after load: {len(store)} points, same answers as at the save: "
              f"{store.batch_search(vectors[:20], 10, 'cosine') == before}")
    finally:
        shutil.rmtree(directory)
        ray.shutdown()


if __name__ == "__main__":
    main()

"""Several customers in one store: every search names its tenant and sees only that tenant's
points.

A point belongs to the tenant named by the string under its payload key "tenant_id". The
comparison is exact (case-sensitive, byte for byte); a number there names no tenant, and a
point without that key belongs to none. A tenant with fewer than 500 points is searched
exactly even inside a large store.
"""

import random
import sys

from tarnwick import VectorStorage

DIMENSION = 32
# (tenant, share of the points): acme is large, initech small enough for exact answers.
TENANTS = (("acme", 0.6), ("globex", 0.3), ("initech", 0.1))


def main() -> None:
    points = int(sys.argv[1]) if len(sys.argv) > 1 else 3000
    rng = random.Random(7)
    store = VectorStorage()
    owner: dict[int, str] = {}
    names = [name for name, _ in TENANTS]
    shares = [share for _, share in TENANTS]
    for point_id in range(points):
        tenant = rng.choices(names, shares)[0]
        owner[point_id] = tenant
        vector = [rng.uniform(-1.0, 1.0) for _ in range(DIMENSION)]
        store.upsert(point_id, vector, {"tenant_id": tenant, "doc": f"{tenant}-{point_id}"})

    # Points that belong to no tenant: a number is not a tenant name, and no payload at all.
    store.upsert(points, [1.0] * DIMENSION, {"tenant_id": 7})
    store.upsert(points + 1, [1.0] * DIMENSION, None)

    query = [rng.uniform(-1.0, 1.0) for _ in range(DIMENSION)]
    for name in names:
        answer = store.search(query, 10, "cosine", tenant_id=name)
        only_own = all(owner.get(point_id) == name for point_id, _ in answer)
        size = sum(1 for tenant in owner.values() if tenant == name)
        print(f"{name}: {size} points, {len(answer)} results, all its own: {only_own}")

    # A small tenant is scanned exactly: every point of its own comes back when the limit
    # allows, even though the whole store is searched through its graph.
    small = sum(1 for tenant in owner.values() if tenant == "initech")
    everything = store.search(query, points, "euclidean", tenant_id="initech")
    print(f"initech with a limit above its size: {len(everything)} of {small} points")

    ones = [1.0] * DIMENSION
    print("tenant '7' (stored as a number):", store.search(ones, 5, "cosine", tenant_id="7"))
    print("tenant 'ACME' (other case):", store.search(query, 5, "cosine", tenant_id="ACME"))
    print("unknown tenant:", store.search(query, 5, "cosine", tenant_id="umbrella"))

    batch = store.batch_search([query, query], 3, "dot", tenant_id="globex")
    print("batch for globex, all globex:", all(owner[i] == "globex" for a in batch for i, _ in a))


if __name__ == "__main__":
    main()

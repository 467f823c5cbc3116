"""The module, the VectorStorage class object and the life of an instance."""

import importlib.util
import sys
import weakref

import pytest

import tarnwick
from tarnwick import VectorStorage

METHOD_SIGNATURES = {
    "upsert": "($self, point_id, vector, payload)",
    "search": "($self, query_vector, limit, metric, tenant_id=None)",
    "batch_search": "($self, query_vectors, limit, metric, tenant_id=None)",
    "save": "($self, path)",
    "load": "($self, path)",
}

METHOD_DOCS = {
    "upsert": "\n".join([
        "Universally inserts or updates a coordinate entity embedding paired with dynamic structured metadata payloads.",
        "",
        "This atomic interface orchestrates memory lock updates across spatial configurations. It converts",
        "incoming structured attributes via localized parsers and triggers automatic HNSW graph re-weaving updates.",
        "",
        "# Parameters",
        "* `point_id` - A unique unsigned 64-bit identifier linking the coordinates to its transactional registry key.",
        "* `vector` - A Python float list containing the raw coordinate tracking geometry parameters.",
        "* `payload` - An optional Python dictionary containing polymorphic data filters.",
        "",
        "# Errors",
        "Returns an operational initialization exception if underlying dictionary types fail transformation.",
    ]),
    "search": "\n".join([
        "Searches the high-dimensional vector space to extract top-K nearest neighbors matching target query configurations.",
        "",
        "This framework evaluates cluster density bounds at runtime to seamlessly route lookups via exact linear",
        "KNN sweeps or optimized logarithmic HNSW structural mesh traversal loops. It enforces single-stage",
        "pre-filtering if an optional tenant constraint is provided.",
        "",
        "# Parameters",
        "* `query_vector` - Target float matrix coordinates to evaluate across spatial topologies.",
        "* `limit` - The total depth matching threshold boundary (Top-K) to harvest from active memory slots.",
        "* `metric` - Configuration string matching supported parameters: `'cosine'`, `'dot_product'`, or `'euclidean'`.",
        "* `tenant_id` - An optional string key used to isolate workspace partitions under active multi-tenancy rules.",
        "",
        "# Returns",
        "A structured Python list containing tuple records formatted as: `(Point ID, Proximity Similarity Score)`.",
        "",
        "# Errors",
        "Throws a `ValueError` exception wrapper if parsing passes encounter unrecognized metric tokens.",
    ]),
    "batch_search": "\n".join([
        "Executes concurrent high-dimensional batch vector lookups across available hardware processing units.",
        "",
        "The engine uses a thread-safe parallel processing map to bypass the overheads of Python's runtime",
        "loop. It drives multi-tenant graph filtering routines simultaneously across the matrix block workspace.",
        "",
        "# Parameters",
        "* `query_vectors` - A nested list of multiple analytical float matrix coordinates to process concurrently.",
        "* `limit` - The targeted depth capacity matching threshold (Top-K) to extract per discrete query sequence.",
        "* `metric` - Configuration metric string token: `'cosine'`, `'dot_product'`, or `'euclidean'`.",
        "* `tenant_id` - An optional string token used to restrict queries to specific isolated tenancy environments.",
        "",
        "# Returns",
        "A nested Python list containing ordered matching records arrays formatted as: `[[(Point ID, Score), ...], ...]`.",
        "",
        "# Errors",
        "Throws a `ValueError` exception wrapper if the target parsing sequence processes an unknown structural metric token.",
    ]),
    "save": "\n".join([
        "Commits the running transactional database state snapshot directly onto localized physical storage tracks.",
        "",
        "# Parameters",
        "* `path` - The string location defining where to construct the output binary serialization snapshot asset.",
        "",
        "# Errors",
        "Throws an asynchronous `IOError` if system partitions block file descriptor allocation workflows.",
    ]),
    "load": "\n".join([
        "Loads and completely rehydrates a pre-existing storage binary checkpoint file back into active memory pools.",
        "",
        "# Parameters",
        "* `path` - Target system path targeting the binary database record file to extract.",
        "",
        "# Errors",
        "Throws a standard `IOError` if input buffers contain broken byte signatures or version mismatches.",
    ]),
}

CLASS_SECOND_PARAGRAPH = (
    "This struct functions as a safe, concurrent architectural encapsulation wrapper managing an isolated\n"
    "memory partition segment layer. It supports lock-free multi-threaded query streams and sequential "
    "persistence pipelines."
)


def test_module_surface():
    assert tarnwick.__all__ == ["VectorStorage"]
    assert tarnwick.VectorStorage is VectorStorage
    assert tarnwick.__doc__.count(".") == 1 and tarnwick.__doc__.endswith(".")
    assert [name for name in vars(tarnwick) if not name.startswith("_")] == ["VectorStorage"]


def test_class_surface():
    assert (VectorStorage.__module__, VectorStorage.__qualname__) == ("builtins", "VectorStorage")
    assert VectorStorage.__text_signature__ == "()"
    first, second = VectorStorage.__doc__.split("\n\n")
    assert first.count(".") == 1 and first.endswith(".")
    assert second == CLASS_SECOND_PARAGRAPH
    names = [name for name in vars(VectorStorage) if not name.startswith("__")]
    assert names[:len(METHOD_DOCS)] == list(METHOD_DOCS)
    assert names[len(METHOD_DOCS):] == ["get", "upsert_many", "delete", "delete_many", "m", "ef_construction", "ef_search", "dim"]


@pytest.mark.parametrize("name", METHOD_DOCS)
def test_method_signature_and_doc(name):
    method = getattr(VectorStorage, name)
    assert method.__text_signature__ == METHOD_SIGNATURES[name]
    assert method.__doc__ == METHOD_DOCS[name]


def test_class_is_closed_but_not_frozen():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (VectorStorage,), {})
    store = VectorStorage()
    with pytest.raises(AttributeError):
        store.extra = 1
    assert not hasattr(store, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(store)
    VectorStorage.extra = 1
    del VectorStorage.extra


@pytest.mark.parametrize("args, kwargs, message", [
    ((1,), {}, "VectorStorage.__new__() takes 0 positional arguments but 1 was given"),
    ((1, 2), {}, "VectorStorage.__new__() takes 0 positional arguments but 2 were given"),
    ((1,), {"x": 1}, "VectorStorage.__new__() takes 0 positional arguments but 1 was given"),
    ((), {"x": 1}, "VectorStorage.__new__() got an unexpected keyword argument 'x'"),
])
def test_constructor_refuses_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        VectorStorage(*args, **kwargs)
    assert str(raised.value) == message


def test_new_via_object_protocol_and_dealloc_release_the_type():
    before = sys.getrefcount(VectorStorage)
    stores = [VectorStorage.__new__(VectorStorage) for _ in range(10)]
    assert sys.getrefcount(VectorStorage) == before + 10
    for store in stores:
        store.upsert(1, [1.0], {"tenant_id": "a"})
    del stores, store
    assert sys.getrefcount(VectorStorage) == before


def exec_fresh_module(all_value=None):
    module = importlib.util.module_from_spec(tarnwick.__spec__)
    if all_value is not None:
        module.__all__ = all_value
    tarnwick.__spec__.loader.exec_module(module)
    return module


def test_each_module_object_gets_the_one_type():
    module = exec_fresh_module(["other"])
    assert module is not tarnwick
    assert module.VectorStorage is VectorStorage
    assert module.__all__ == ["other", "VectorStorage"]


def test_exec_refuses_an_all_that_is_not_a_list():
    with pytest.raises(TypeError) as raised:
        exec_fresh_module(("other",))
    assert str(raised.value) == "'tuple' object is not an instance of 'list'"

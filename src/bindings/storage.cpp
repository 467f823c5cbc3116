// VectorStorage: each method binds and converts its arguments with no store lock held,
// makes one call into the Segment (which takes its own locks and never calls back into
// Python), and builds its Python result after that call has returned.
#include "bindings/storage.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "bindings/arguments.hpp"
#include "bindings/detached.hpp"
#include "bindings/interruptible.hpp"
#include "bindings/payload.hpp"
#include "bindings/py_ref.hpp"
#include "bindings/watched.hpp"
#include "storage/segment.hpp"
#include "storage/worker_pool.hpp"

namespace tarnwick::bindings {

namespace {

/* ---------- PyVectorStorage ---------- */

struct PyVectorStorage {
  PyObject_HEAD
  Segment* segment;  // owned: the whole store, freed by the deallocator
};

Segment& segment_of(PyObject* self) { return *reinterpret_cast<PyVectorStorage*>(self)->segment; }

/* ---------- Helpers ---------- */

// Turns the C++ exception being handled into a Python one. Always returns NULL.
PyObject* raise_from_cpp_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();  // a container asked for more than it can ever hold
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected internal error");
  }
  return nullptr;
}

std::optional<std::string_view> tenant_view(const std::optional<std::string>& tenant) {
  if (!tenant) {
    return std::nullopt;
  }
  return std::string_view(*tenant);
}

// Lower-cases the metric name with str.lower (the full Unicode mapping) and matches the
// result byte for byte. `utf8` is the name's own UTF-8 form, which settles ASCII names
// without a call into Python. Returns 0, or -1 with ValueError(`unknown`) or the error of
// lower-casing set.
int parse_metric(PyObject* name, const std::string& utf8, const char* unknown, Metric& out) {
  struct MetricName {
    std::string_view name;
    Metric metric;
  };
  static constexpr MetricName METRIC_NAMES[] = {
      {"dot_product", Metric::DotProduct}, {"dot", Metric::DotProduct},
      {"cosine", Metric::Cosine},          {"euclidean", Metric::Euclidean},
      {"l2", Metric::Euclidean},
  };
  std::string lowered = utf8;
  bool ascii = true;
  for (char& c : lowered) {
    ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  if (!ascii) {
    PyRef lower = PyRef::steal(
        PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", name));
    if (!lower || utf8_of(lower.get(), lowered) < 0) {
      return -1;
    }
  }
  for (const MetricName& entry : METRIC_NAMES) {
    if (lowered == entry.name) {
      out = entry.metric;
      return 0;
    }
  }
  PyErr_SetString(PyExc_ValueError, unknown);
  return -1;
}

// Returns a new list of (id, score) tuples, the score as the exact 32-bit value, or of
// (id, score, payload) tuples when the answer carries payloads; NULL with an exception set.
PyObject* build_answer(const SearchAnswer& answer) {
  const std::vector<ScoredPoint>& points = answer.points;
  const bool with_payload = !answer.payloads.empty();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(points.size())));
  if (!list) {
    return nullptr;
  }
  for (std::size_t i = 0; i < points.size(); ++i) {
    PyRef id = PyRef::steal(PyLong_FromUnsignedLongLong(points[i].id));
    PyRef score = PyRef::steal(PyFloat_FromDouble(static_cast<double>(points[i].score)));
    PyRef payload = with_payload ? PyRef::steal(build_payload(answer.payloads[i])) : PyRef();
    PyObject* entry =
        (id && score && (payload || !with_payload)) ? PyTuple_New(with_payload ? 3 : 2) : nullptr;
    if (entry == nullptr) {
      return nullptr;
    }
    PyTuple_SET_ITEM(entry, 0, id.release());
    PyTuple_SET_ITEM(entry, 1, score.release());
    if (with_payload) {
      PyTuple_SET_ITEM(entry, 2, payload.release());
    } else {
      // An int and a float can never be part of a cycle: untracked, as the collector would
      // leave such a pair once it had looked at it, the answer adds one object, not eleven,
      // to the collector's count.
      PyObject_GC_UnTrack(entry);
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry);
  }
  return list.release();
}

// Raises ValueError "{name} must be between {low} and {high}, got {value}" unless the value
// lies in the range. Returns 0 or -1.
int check_range(const char* name, std::uint64_t value, std::uint64_t low, std::uint64_t high) {
  if (value >= low && value <= high) {
    return 0;
  }
  PyErr_Format(PyExc_ValueError, "%s must be between %llu and %llu, got %llu", name,
               static_cast<unsigned long long>(low), static_cast<unsigned long long>(high),
               static_cast<unsigned long long>(value));
  return -1;
}

int check_optional_range(const char* name, const std::optional<std::uint64_t>& value,
                         std::uint64_t low, std::uint64_t high) {
  return value ? check_range(name, *value, low, high) : 0;
}

// Raises ValueError unless the store takes vectors of this length. Returns 0 or -1.
int check_dimension(const Segment& segment, std::size_t length) {
  const std::optional<std::size_t> dim = segment.dim();
  if (!dim || *dim == length) {
    return 0;
  }
  PyErr_Format(PyExc_ValueError, "expected a vector of %zu floats, got %zu", *dim, length);
  return -1;
}

// Raises OSError with the message as its only argument, so that errno and filename stay
// None and no subclass is picked from an error number. Returns NULL.
PyObject* raise_os_error(const std::string& message) {
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) {
    PyErr_SetObject(PyExc_OSError, text.get());
  }
  return nullptr;
}

/* ---------- Signatures ---------- */

// Sane bounds of the graph parameters and of a store's dimension.
constexpr std::uint64_t MIN_M = 2;
constexpr std::uint64_t MAX_M = 256;
constexpr std::uint64_t MAX_BEAM = std::uint64_t{1} << 20;  // ef_construction, ef_search
constexpr std::uint64_t MAX_DIM = std::uint64_t{1} << 20;

constexpr const char* NEW_PARAMETERS[] = {"m", "ef_construction", "ef_search", "dim"};
constexpr const char* UPSERT_PARAMETERS[] = {"point_id", "vector", "payload"};
constexpr const char* SEARCH_PARAMETERS[] = {"query_vector", "limit", "metric", "tenant_id",
                                             "ef_search", "with_payload"};
constexpr const char* BATCH_SEARCH_PARAMETERS[] = {"query_vectors", "limit", "metric",
                                                   "tenant_id", "ef_search", "with_payload"};
constexpr const char* PATH_PARAMETERS[] = {"path"};
constexpr const char* DELETE_MANY_PARAMETERS[] = {"point_ids"};
constexpr const char* UPSERT_MANY_PARAMETERS[] = {"point_ids", "vectors", "payloads", "progress"};
constexpr const char* GET_PARAMETERS[] = {"point_id"};

constexpr Signature NEW_SIGNATURE = make_signature("VectorStorage.__new__()", NEW_PARAMETERS, 0, 0);
constexpr Signature GET_SIGNATURE = make_signature("VectorStorage.get()", GET_PARAMETERS, 1);
constexpr Signature UPSERT_MANY_SIGNATURE =
    make_signature("VectorStorage.upsert_many()", UPSERT_MANY_PARAMETERS, 2, 3);
constexpr Signature DELETE_SIGNATURE = make_signature("VectorStorage.delete()", GET_PARAMETERS, 1);
constexpr Signature DELETE_MANY_SIGNATURE =
    make_signature("VectorStorage.delete_many()", DELETE_MANY_PARAMETERS, 1);
constexpr Signature UPSERT_SIGNATURE =
    make_signature("VectorStorage.upsert()", UPSERT_PARAMETERS, 3);
constexpr Signature SEARCH_SIGNATURE =
    make_signature("VectorStorage.search()", SEARCH_PARAMETERS, 3, 4);
constexpr Signature BATCH_SEARCH_SIGNATURE =
    make_signature("VectorStorage.batch_search()", BATCH_SEARCH_PARAMETERS, 3, 4);
constexpr Signature SAVE_SIGNATURE = make_signature("VectorStorage.save()", PATH_PARAMETERS, 1);
constexpr Signature LOAD_SIGNATURE = make_signature("VectorStorage.load()", PATH_PARAMETERS, 1);

constexpr const char* SEARCH_UNKNOWN_METRIC =
    "Unsupported metric option. Choose from: 'cosine', 'dot_product' ('dot'), or "
    "'euclidean' ('l2').";
constexpr const char* BATCH_SEARCH_UNKNOWN_METRIC =
    "Unsupported metric option assigned. Choose from: 'cosine', 'dot_product', or 'euclidean'.";

/* ---------- Methods ---------- */

PyObject* vector_storage_upsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) try {
  BoundArguments bound;
  if (bind_arguments(UPSERT_SIGNATURE, args, nargs, kwnames, bound) < 0) {
    return nullptr;
  }
  std::uint64_t id = 0;
  std::vector<float> vector;
  std::optional<Payload> payload;
  if (convert_u64(bound[0].get(), "point_id", id) < 0 ||
      convert_float_vector(bound[1].get(), "vector", vector) < 0 ||
      convert_payload(bound[2].get(), "payload", payload) < 0) {
    return nullptr;
  }
  Segment& segment = segment_of(self);
  if (check_dimension(segment, vector.size()) < 0) {
    return nullptr;
  }
  if (detached([&] { return segment.upsert(id, std::move(vector), std::move(payload)); }) ==
      UpsertResult::TableFull) {
    PyErr_SetString(PyExc_MemoryError, "the store cannot hold any more points");
    return nullptr;
  }
  Py_RETURN_NONE;
} catch (...) {
  return raise_from_cpp_exception();
}

// Raises ValueError unless `parameter` has as many items as 'point_ids'. Returns 0 or -1.
int check_item_count(const char* parameter, std::size_t count, std::size_t ids) {
  if (count == ids) {
    return 0;
  }
  PyErr_Format(PyExc_ValueError, "'point_ids' has %zu items but '%s' has %zu", ids, parameter, count);
  return -1;
}

// Progress is reported at most this often.
constexpr std::chrono::milliseconds PROGRESS_INTERVAL{100};

PyObject* vector_storage_upsert_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) try {
  BoundArguments bound;
  std::vector<std::uint64_t> ids;
  std::vector<std::vector<float>> vectors;
  if (bind_arguments(UPSERT_MANY_SIGNATURE, args, nargs, kwnames, bound) < 0 ||
      convert_point_ids(bound[0].get(), "point_ids", ids) < 0 ||
      convert_vector_rows(bound[1].get(), "vectors", vectors) < 0 ||
      check_item_count("vectors", vectors.size(), ids.size()) < 0) {
    return nullptr;
  }
  std::vector<std::optional<Payload>> payloads;
  PyObject* payload_items = bound[2].get();
  if (payload_items == nullptr || payload_items == Py_None) {
    payloads.resize(ids.size());
  } else if (convert_items(payload_items, "payloads", [&payloads](PyObject* item, std::size_t) {
               if (item != Py_None && !PyDict_Check(item)) {
                 raise_not_instance(item, "dict");
                 return -1;
               }
               return convert_payload(item, "payloads", payloads.emplace_back());
             }) < 0 ||
             check_item_count("payloads", payloads.size(), ids.size()) < 0) {
    return nullptr;
  }
  PyObject* progress = bound[3].get() == Py_None ? nullptr : bound[3].get();
  if (progress != nullptr && !PyCallable_Check(progress)) {
    raise_not_instance(progress, "Callable");
    add_argument_note("progress");
    return nullptr;
  }
  Segment& segment = segment_of(self);
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    if (check_dimension(segment, vectors[i].size()) < 0) {
      add_item_note("vectors", i);
      return nullptr;
    }
  }
  const std::size_t total = std::unordered_set<std::uint64_t>(ids.begin(), ids.end()).size();
  std::atomic<std::size_t> done{0};
  std::size_t reported = 0;
  auto last_report = std::chrono::steady_clock::now();
  auto report = [&](std::size_t count) {
    reported = count;
    last_report = std::chrono::steady_clock::now();
    PyRef result = PyRef::steal(PyObject_CallFunction(progress, "nn", static_cast<Py_ssize_t>(count),
                                                      static_cast<Py_ssize_t>(total)));
    return static_cast<bool>(result);
  };
  // Once the store is being changed the build runs to its end; a signal or an error from
  // `progress` is raised after it.
  const UpsertResult result = run_watched<UpsertResult>(
      [&] { return segment.upsert_many(ids, std::move(vectors), std::move(payloads), done); },
      [&] {
        if (PyErr_CheckSignals() < 0) {
          return false;
        }
        const std::size_t count = done.load(std::memory_order_relaxed);
        if (progress == nullptr || count == reported ||
            std::chrono::steady_clock::now() - last_report < PROGRESS_INTERVAL) {
          return true;
        }
        return report(count);
      });
  if (PyErr_Occurred()) {
    return nullptr;
  }
  if (result == UpsertResult::TableFull) {
    PyErr_SetString(PyExc_MemoryError, "the store cannot hold any more points");
    return nullptr;
  }
  if (progress != nullptr && reported != total && !report(total)) {
    return nullptr;
  }
  Py_RETURN_NONE;
} catch (...) {
  return raise_from_cpp_exception();
}

PyObject* vector_storage_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) try {
  BoundArguments bound;
  if (bind_arguments(SEARCH_SIGNATURE, args, nargs, kwnames, bound) < 0) {
    return nullptr;
  }
  std::vector<float> query;
  std::uint64_t limit = 0;
  std::string metric_name;
  std::optional<std::string> tenant;
  SearchOptions options;
  Metric metric{};
  const Segment& segment = segment_of(self);
  if (convert_float_vector(bound[0].get(), "query_vector", query) < 0 ||
      convert_u64(bound[1].get(), "limit", limit) < 0 ||
      convert_string(bound[2].get(), "metric", metric_name) < 0 ||
      convert_optional_string(bound[3].get(), "tenant_id", tenant) < 0 ||
      convert_optional_u64(bound[4].get(), "ef_search", options.ef_search) < 0 ||
      convert_bool(bound[5].get(), "with_payload", options.with_payload) < 0 ||
      parse_metric(bound[2].get(), metric_name, SEARCH_UNKNOWN_METRIC, metric) < 0 ||
      check_optional_range("ef_search", options.ef_search, 1, MAX_BEAM) < 0 ||
      check_dimension(segment, query.size()) < 0) {
    return nullptr;
  }
  SearchAnswer answer =
      detached([&] { return segment.search(query, limit, metric, tenant_view(tenant), options); });
  return build_answer(answer);
} catch (...) {
  return raise_from_cpp_exception();
}

PyObject* vector_storage_batch_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) try {
  BoundArguments bound;
  if (bind_arguments(BATCH_SEARCH_SIGNATURE, args, nargs, kwnames, bound) < 0) {
    return nullptr;
  }
  std::vector<std::vector<float>> queries;
  std::uint64_t limit = 0;
  std::string metric_name;
  std::optional<std::string> tenant;
  SearchOptions options;
  Metric metric{};
  const Segment& segment = segment_of(self);
  if (convert_float_vectors(bound[0].get(), "query_vectors", queries) < 0 ||
      convert_u64(bound[1].get(), "limit", limit) < 0 ||
      convert_string(bound[2].get(), "metric", metric_name) < 0 ||
      convert_optional_string(bound[3].get(), "tenant_id", tenant) < 0 ||
      convert_optional_u64(bound[4].get(), "ef_search", options.ef_search) < 0 ||
      convert_bool(bound[5].get(), "with_payload", options.with_payload) < 0 ||
      parse_metric(bound[2].get(), metric_name, BATCH_SEARCH_UNKNOWN_METRIC, metric) < 0 ||
      check_optional_range("ef_search", options.ef_search, 1, MAX_BEAM) < 0) {
    return nullptr;
  }
  for (std::size_t i = 0; i < queries.size(); ++i) {
    if (check_dimension(segment, queries[i].size()) < 0) {
      add_item_note("query_vectors", i);
      return nullptr;
    }
  }
  WorkerPool* pool = WorkerPool::instance();
  if (pool == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "could not start the batch search worker threads");
    return nullptr;
  }
  // Each worker writes only its own slot; the calling thread waits detached and reads the
  // slots once run() has returned.
  std::vector<SearchAnswer> answers(queries.size());
  std::atomic<bool> out_of_memory{false};
  const std::optional<std::string_view> tenant_bytes = tenant_view(tenant);
  bool interrupted = false;
  {
    Detached guard;
    pool->run(
        queries.size(),
        [&](std::size_t i) {
          try {
            answers[i] = segment.search(queries[i], limit, metric, tenant_bytes, options);
          } catch (const std::bad_alloc&) {
            out_of_memory.store(true, std::memory_order_relaxed);
          }
        },
        // Ctrl-C stops the batch: queries not yet begun are dropped with the whole answer.
        [&] { return interrupted = guard.signal_raised(); });
  }
  if (interrupted) {
    return nullptr;  // the signal handler's exception
  }
  if (out_of_memory.load(std::memory_order_relaxed)) {
    return PyErr_NoMemory();
  }
  PyRef lists = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(answers.size())));
  if (!lists) {
    return nullptr;
  }
  for (std::size_t i = 0; i < answers.size(); ++i) {
    PyObject* answer = build_answer(answers[i]);
    if (answer == nullptr) {
      return nullptr;
    }
    PyList_SET_ITEM(lists.get(), static_cast<Py_ssize_t>(i), answer);
  }
  return lists.release();
} catch (...) {
  return raise_from_cpp_exception();
}

// Binds and converts the one `path` argument of save and load, runs `operation` on it where
// Ctrl-C can stop it, and raises OSError with the failure message it returns, if any.
template <typename Operation>
PyObject* call_with_path(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, Operation operation) try {
  BoundArguments bound;
  std::string path;
  if (bind_arguments(signature, args, nargs, kwnames, bound) < 0 ||
      convert_string(bound[0].get(), "path", path) < 0) {
    return nullptr;
  }
  const Interruptible outcome =
      run_interruptible([&](CancelToken& token) { return operation(path, token); });
  if (outcome.interrupted) {
    if (outcome.cancelled || !PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
      return nullptr;  // the signal handler's exception; the work left nothing behind
    }
    // Ctrl-C came as the work committed: it is done, and the interrupt is raised again as
    // soon as this call has returned.
    PyErr_Clear();
    PyErr_SetInterrupt();
  }
  if (outcome.failure) {
    return raise_os_error(*outcome.failure);
  }
  Py_RETURN_NONE;
} catch (...) {
  return raise_from_cpp_exception();
}

PyObject* vector_storage_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return call_with_path(SAVE_SIGNATURE, args, nargs, kwnames,
                        [self](const std::string& path, CancelToken& token) {
                          return segment_of(self).save_to_disk(path, &token);
                        });
}

PyObject* vector_storage_load(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return call_with_path(LOAD_SIGNATURE, args, nargs, kwnames,
                        [self](const std::string& path, CancelToken& token) {
                          return segment_of(self).load_from_disk(path, &token);
                        });
}

PyObject* vector_storage_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) try {
  BoundArguments bound;
  std::uint64_t id = 0;
  if (bind_arguments(GET_SIGNATURE, args, nargs, kwnames, bound) < 0 ||
      convert_u64(bound[0].get(), "point_id", id) < 0) {
    return nullptr;
  }
  const Segment& segment = segment_of(self);
  std::optional<Point> point = detached([&] { return segment.get(id); });
  if (!point) {
    Py_RETURN_NONE;
  }
  PyRef vector = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(point->vector.size())));
  if (!vector) {
    return nullptr;
  }
  for (std::size_t i = 0; i < point->vector.size(); ++i) {
    PyObject* value = PyFloat_FromDouble(static_cast<double>(point->vector[i]));
    if (value == nullptr) {
      return nullptr;
    }
    PyList_SET_ITEM(vector.get(), static_cast<Py_ssize_t>(i), value);
  }
  PyRef payload = PyRef::steal(build_payload(point->payload));
  if (!payload) {
    return nullptr;
  }
  return PyTuple_Pack(2, vector.get(), payload.get());
} catch (...) {
  return raise_from_cpp_exception();
}

PyObject* vector_storage_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) try {
  BoundArguments bound;
  std::uint64_t id = 0;
  if (bind_arguments(DELETE_SIGNATURE, args, nargs, kwnames, bound) < 0 ||
      convert_u64(bound[0].get(), "point_id", id) < 0) {
    return nullptr;
  }
  Segment& segment = segment_of(self);
  return PyBool_FromLong(detached([&] { return segment.remove(std::span(&id, 1)); }) != 0);
} catch (...) {
  return raise_from_cpp_exception();
}

PyObject* vector_storage_delete_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) try {
  BoundArguments bound;
  std::vector<std::uint64_t> ids;
  if (bind_arguments(DELETE_MANY_SIGNATURE, args, nargs, kwnames, bound) < 0 ||
      convert_point_ids(bound[0].get(), "point_ids", ids) < 0) {
    return nullptr;
  }
  Segment& segment = segment_of(self);
  return PyLong_FromSize_t(detached([&] { return segment.remove(ids); }));
} catch (...) {
  return raise_from_cpp_exception();
}

Py_ssize_t vector_storage_length(PyObject* self) {
  const Segment& segment = segment_of(self);
  return static_cast<Py_ssize_t>(detached([&] { return segment.size(); }));
}

int vector_storage_contains(PyObject* self, PyObject* key) {
  std::uint64_t id = 0;
  if (convert_u64(key, "point_id", id) < 0) {
    return -1;
  }
  const Segment& segment = segment_of(self);
  return detached([&] { return segment.contains(id); }) ? 1 : 0;
}

GraphParameters graph_parameters_of(PyObject* self) {
  const Segment& segment = segment_of(self);
  return detached([&] { return segment.graph_parameters(); });
}

PyObject* vector_storage_get_m(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(graph_parameters_of(self).m);
}

PyObject* vector_storage_get_ef_construction(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(graph_parameters_of(self).ef_construction);
}

PyObject* vector_storage_get_ef_search(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(graph_parameters_of(self).ef_search);
}

PyObject* vector_storage_get_dim(PyObject* self, void*) {
  const std::optional<std::size_t> dim = segment_of(self).dim();
  if (!dim) {
    Py_RETURN_NONE;
  }
  return PyLong_FromSize_t(*dim);
}

PyObject* vector_storage_repr(PyObject* self) {
  const Segment& segment = segment_of(self);
  const auto [points, graph] = detached([&] {
    return std::pair<std::size_t, GraphParameters>(segment.size(), segment.graph_parameters());
  });
  const std::optional<std::size_t> dim = segment.dim();
  const std::string dim_text = dim ? std::to_string(*dim) : std::string("None");
  return PyUnicode_FromFormat("<tarnwick.VectorStorage points=%zu dim=%s m=%llu ef_search=%llu>",
                              points, dim_text.c_str(), static_cast<unsigned long long>(graph.m),
                              static_cast<unsigned long long>(graph.ef_search));
}

PyGetSetDef vector_storage_getset[] = {
    {.name = "m", .get = vector_storage_get_m, .set = nullptr,
     .doc = "Links per node and layer (twice as many on the bottom layer).", .closure = nullptr},
    {.name = "ef_construction", .get = vector_storage_get_ef_construction, .set = nullptr,
     .doc = "Beam width while inserting.", .closure = nullptr},
    {.name = "ef_search", .get = vector_storage_get_ef_search, .set = nullptr,
     .doc = "Beam width of a graph search.", .closure = nullptr},
    {.name = "dim", .get = vector_storage_get_dim, .set = nullptr,
     .doc = "The one vector length the store takes, or None for any.", .closure = nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}  /* sentinel */
};

constexpr char UPSERT_DOC[] =
    "upsert($self, point_id, vector, payload)\n--\n\n"
    "Universally inserts or updates a coordinate entity embedding paired with dynamic "
    "structured metadata payloads.\n"
    "\n"
    "This atomic interface orchestrates memory lock updates across spatial configurations. "
    "It converts\n"
    "incoming structured attributes via localized parsers and triggers automatic HNSW graph "
    "re-weaving updates.\n"
    "\n"
    "# Parameters\n"
    "* `point_id` - A unique unsigned 64-bit identifier linking the coordinates to its "
    "transactional registry key.\n"
    "* `vector` - A Python float list containing the raw coordinate tracking geometry "
    "parameters.\n"
    "* `payload` - An optional Python dictionary containing polymorphic data filters.\n"
    "\n"
    "# Errors\n"
    "Returns an operational initialization exception if underlying dictionary types fail "
    "transformation.";

constexpr char SEARCH_DOC[] =
    "search($self, query_vector, limit, metric, tenant_id=None)\n--\n\n"
    "Searches the high-dimensional vector space to extract top-K nearest neighbors matching "
    "target query configurations.\n"
    "\n"
    "This framework evaluates cluster density bounds at runtime to seamlessly route lookups "
    "via exact linear\n"
    "KNN sweeps or optimized logarithmic HNSW structural mesh traversal loops. It enforces "
    "single-stage\n"
    "pre-filtering if an optional tenant constraint is provided.\n"
    "\n"
    "# Parameters\n"
    "* `query_vector` - Target float matrix coordinates to evaluate across spatial "
    "topologies.\n"
    "* `limit` - The total depth matching threshold boundary (Top-K) to harvest from active "
    "memory slots.\n"
    "* `metric` - Configuration string matching supported parameters: `'cosine'`, "
    "`'dot_product'`, or `'euclidean'`.\n"
    "* `tenant_id` - An optional string key used to isolate workspace partitions under active "
    "multi-tenancy rules.\n"
    "\n"
    "# Returns\n"
    "A structured Python list containing tuple records formatted as: `(Point ID, Proximity "
    "Similarity Score)`.\n"
    "\n"
    "# Errors\n"
    "Throws a `ValueError` exception wrapper if parsing passes encounter unrecognized metric "
    "tokens.";

constexpr char BATCH_SEARCH_DOC[] =
    "batch_search($self, query_vectors, limit, metric, tenant_id=None)\n--\n\n"
    "Executes concurrent high-dimensional batch vector lookups across available hardware "
    "processing units.\n"
    "\n"
    "The engine uses a thread-safe parallel processing map to bypass the overheads of "
    "Python's runtime\n"
    "loop. It drives multi-tenant graph filtering routines simultaneously across the matrix "
    "block workspace.\n"
    "\n"
    "# Parameters\n"
    "* `query_vectors` - A nested list of multiple analytical float matrix coordinates to "
    "process concurrently.\n"
    "* `limit` - The targeted depth capacity matching threshold (Top-K) to extract per "
    "discrete query sequence.\n"
    "* `metric` - Configuration metric string token: `'cosine'`, `'dot_product'`, or "
    "`'euclidean'`.\n"
    "* `tenant_id` - An optional string token used to restrict queries to specific isolated "
    "tenancy environments.\n"
    "\n"
    "# Returns\n"
    "A nested Python list containing ordered matching records arrays formatted as: "
    "`[[(Point ID, Score), ...], ...]`.\n"
    "\n"
    "# Errors\n"
    "Throws a `ValueError` exception wrapper if the target parsing sequence processes an "
    "unknown structural metric token.";

constexpr char SAVE_DOC[] =
    "save($self, path)\n--\n\n"
    "Commits the running transactional database state snapshot directly onto localized "
    "physical storage tracks.\n"
    "\n"
    "# Parameters\n"
    "* `path` - The string location defining where to construct the output binary "
    "serialization snapshot asset.\n"
    "\n"
    "# Errors\n"
    "Throws an asynchronous `IOError` if system partitions block file descriptor allocation "
    "workflows.";

constexpr char LOAD_DOC[] =
    "load($self, path)\n--\n\n"
    "Loads and completely rehydrates a pre-existing storage binary checkpoint file back into "
    "active memory pools.\n"
    "\n"
    "# Parameters\n"
    "* `path` - Target system path targeting the binary database record file to extract.\n"
    "\n"
    "# Errors\n"
    "Throws a standard `IOError` if input buffers contain broken byte signatures or version "
    "mismatches.";

constexpr char GET_DOC[] =
    "get($self, point_id)\n--\n\n"
    "The (vector, payload) stored under `point_id`, or None when there is no such point.";

constexpr char UPSERT_MANY_DOC[] =
    "upsert_many($self, point_ids, vectors, payloads=None, *, progress=None)\n--\n\n"
    "Stores many points as upsert does, one per id (of repeated ids the later wins), linking\n"
    "their graph nodes in parallel on the worker pool. Every item is converted and checked\n"
    "before the store changes. `progress(done, total)`, if given, is called on the calling\n"
    "thread at most ten times a second and once at the end. Once the store is being changed\n"
    "the call runs to its end: an exception from `progress`, or a KeyboardInterrupt, is raised\n"
    "after every point is in place.";

constexpr char DELETE_DOC[] =
    "delete($self, point_id)\n--\n\n"
    "Removes the point stored under `point_id` and its graph node, repairing the graph at once.\n"
    "Returns True when a point was removed, False when there was none.";

constexpr char DELETE_MANY_DOC[] =
    "delete_many($self, point_ids)\n--\n\n"
    "Removes the points stored under `point_ids` (a sequence or 1-D integer array), repairing\n"
    "each affected neighbour list once. Returns how many points were removed.";

template <PyCFunctionFastWithKeywords method>
PyCFunction as_method() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

PyMethodDef vector_storage_methods[] = {
    {.ml_name = "upsert",
     .ml_meth = as_method<vector_storage_upsert>(),
     .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = UPSERT_DOC},
    {.ml_name = "search",
     .ml_meth = as_method<vector_storage_search>(),
     .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = SEARCH_DOC},
    {.ml_name = "batch_search",
     .ml_meth = as_method<vector_storage_batch_search>(),
     .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = BATCH_SEARCH_DOC},
    {.ml_name = "save",
     .ml_meth = as_method<vector_storage_save>(),
     .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = SAVE_DOC},
    {.ml_name = "load",
     .ml_meth = as_method<vector_storage_load>(),
     .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = LOAD_DOC},
    {.ml_name = "get",
     .ml_meth = as_method<vector_storage_get>(),
     .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = GET_DOC},
    {.ml_name = "upsert_many",
     .ml_meth = as_method<vector_storage_upsert_many>(),
     .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = UPSERT_MANY_DOC},
    {.ml_name = "delete",
     .ml_meth = as_method<vector_storage_delete>(),
     .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = DELETE_DOC},
    {.ml_name = "delete_many",
     .ml_meth = as_method<vector_storage_delete_many>(),
     .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = DELETE_MANY_DOC},
    {NULL, NULL, 0, NULL}  /* sentinel */
};

/* ---------- Type slots and spec ---------- */

PyObject* vector_storage_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) try {
  BoundArguments bound;
  if (bind_arguments(NEW_SIGNATURE, args, kwargs, bound) < 0) {
    return nullptr;
  }
  std::optional<std::uint64_t> m;
  std::optional<std::uint64_t> ef_construction;
  std::optional<std::uint64_t> ef_search;
  std::optional<std::uint64_t> dim;
  if (convert_optional_u64(bound[0].get(), "m", m) < 0 ||
      check_optional_range("m", m, MIN_M, MAX_M) < 0 ||
      convert_optional_u64(bound[1].get(), "ef_construction", ef_construction) < 0 ||
      check_optional_range("ef_construction", ef_construction, 1, MAX_BEAM) < 0 ||
      convert_optional_u64(bound[2].get(), "ef_search", ef_search) < 0 ||
      check_optional_range("ef_search", ef_search, 1, MAX_BEAM) < 0 ||
      convert_optional_u64(bound[3].get(), "dim", dim) < 0 ||
      check_optional_range("dim", dim, 1, MAX_DIM) < 0) {
    return nullptr;
  }
  const GraphParameters defaults;
  auto segment = std::make_unique<Segment>(
      GraphParameters{m.value_or(defaults.m), ef_construction.value_or(defaults.ef_construction),
                      ef_search.value_or(defaults.ef_search)},
      dim ? std::optional<std::size_t>(static_cast<std::size_t>(*dim)) : std::nullopt);
  PyRef no_arguments = PyRef::steal(PyTuple_New(0));
  if (!no_arguments) {
    return nullptr;
  }
  PyObject* self = PyBaseObject_Type.tp_new(type, no_arguments.get(), nullptr);
  if (self == nullptr) {
    return nullptr;
  }
  reinterpret_cast<PyVectorStorage*>(self)->segment = segment.release();
  return self;
} catch (...) {
  return raise_from_cpp_exception();
}

void vector_storage_dealloc(PyObject* self) {
  // Heap-type instances hold a reference to their type; it goes last.
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<PyVectorStorage*>(self)->segment;
  type->tp_free(self);
  Py_DECREF(type);
}

constexpr char VECTOR_STORAGE_DOC[] =
    "VectorStorage()\n--\n\n"
    "A high-performance vector storage and search engine exposed directly to Python "
    "runtimes.\n"
    "\n"
    "This struct functions as a safe, concurrent architectural encapsulation wrapper managing "
    "an isolated\n"
    "memory partition segment layer. It supports lock-free multi-threaded query streams and "
    "sequential persistence pipelines.";

PyType_Slot vector_storage_slots[] = {
    {.slot = Py_tp_doc, .pfunc = const_cast<char*>(VECTOR_STORAGE_DOC)},
    {.slot = Py_tp_new, .pfunc = reinterpret_cast<void*>(vector_storage_new)},
    {.slot = Py_tp_methods, .pfunc = vector_storage_methods},
    {.slot = Py_tp_getset, .pfunc = vector_storage_getset},
    {.slot = Py_tp_repr, .pfunc = reinterpret_cast<void*>(vector_storage_repr)},
    {.slot = Py_sq_length, .pfunc = reinterpret_cast<void*>(vector_storage_length)},
    {.slot = Py_sq_contains, .pfunc = reinterpret_cast<void*>(vector_storage_contains)},
    {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void*>(vector_storage_dealloc)},
    {0, NULL}  /* sentinel */
};

// Default flags only: not subclassable, no __dict__, no weak references, not tracked by
// the garbage collector (an instance holds no Python objects).
PyType_Spec vector_storage_spec = {
    .name = "builtins.VectorStorage",
    .basicsize = sizeof(PyVectorStorage),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = vector_storage_slots,
};

// A PyMutex rather than a C++ mutex: creating the type may run Python code, and a thread
// waiting here must detach from the interpreter meanwhile.
PyMutex vector_storage_type_lock = {};
PyObject* vector_storage_type_object = nullptr;  // owned for the life of the process

}  // namespace

PyObject* vector_storage_type() {
  PyMutex_Lock(&vector_storage_type_lock);
  if (vector_storage_type_object == nullptr) {
    vector_storage_type_object = PyType_FromSpec(&vector_storage_spec);
  }
  PyObject* type = Py_XNewRef(vector_storage_type_object);
  PyMutex_Unlock(&vector_storage_type_lock);
  return type;
}

}  // namespace tarnwick::bindings

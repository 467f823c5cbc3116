#include "bindings/payload.hpp"

#include "bindings/arguments.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tarnwick::bindings {

namespace {

// Walks a dict's items in its own order, one fetch per step under the dict's critical
// section, so that another thread may change the dict between steps but never during one.
// A change of size, or more items than the dict held at the start, ends the walk.
class DictWalk {
 public:
  explicit DictWalk(PyObject* dict)
      : dict_(dict), size_(PyDict_GET_SIZE(dict)), remaining_(size_) {}

  // Fetches the next item as new references. Returns 1 with an item, 0 after the last one,
  // or -1 with RuntimeError set when the dict was changed during the walk.
  int next(PyRef& key, PyRef& value) {
    enum class Step { Fetched, Exhausted, SizeChanged, KeysChanged } step;
    PyObject* borrowed_key = nullptr;
    PyObject* borrowed_value = nullptr;
    Py_BEGIN_CRITICAL_SECTION(dict_);
    if (PyDict_GET_SIZE(dict_) != size_) {
      step = Step::SizeChanged;
    } else if (remaining_ == -1) {
      step = Step::KeysChanged;
    } else if (PyDict_Next(dict_, &position_, &borrowed_key, &borrowed_value)) {
      key = PyRef::borrow(borrowed_key);
      value = PyRef::borrow(borrowed_value);
      step = Step::Fetched;
    } else {
      step = Step::Exhausted;
    }
    Py_END_CRITICAL_SECTION();
    switch (step) {
      case Step::Fetched:
        --remaining_;
        return 1;
      case Step::Exhausted:
        return 0;
      case Step::SizeChanged:
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        return -1;
      case Step::KeysChanged:
        PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
        return -1;
    }
    return -1;
  }

 private:
  PyObject* dict_;          // borrowed: the caller holds the dict for the whole walk
  Py_ssize_t size_;         // the size at the start
  Py_ssize_t remaining_;    // items still expected; -1 once one more than that was fetched
  Py_ssize_t position_ = 0; // PyDict_Next's cursor
};

// Classifies a payload value. Returns 1 with `out` set, 0 for a value of a type that is
// skipped, or -1 with the conversion's exception set.
int convert_value(PyObject* value, PayloadValue& out) {
  if (PyUnicode_Check(value)) {
    std::string bytes;
    if (utf8_of(value, bytes) < 0) {
      return -1;
    }
    out = make_string_value(std::move(bytes));
    return 1;
  }
  if (PyLong_Check(value)) {
    long long integer = PyLong_AsLongLong(value);
    if (integer == -1 && PyErr_Occurred()) {
      return -1;
    }
    out = std::int64_t{integer};
    return 1;
  }
  if (PyFloat_CheckExact(value)) {
    out = PyFloat_AS_DOUBLE(value);
    return 1;
  }
  if (PyFloat_Check(value)) {
    double real = PyFloat_AsDouble(value);
    if (real == -1.0 && PyErr_Occurred()) {
      return -1;
    }
    out = real;
    return 1;
  }
  return 0;
}

PyObject* build_string(const std::string& bytes) {
  return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace");
}

PyObject* build_value(const PayloadValue& value) {
  switch (value.index()) {
    case 0:
      return build_string(std::get<Keyword>(value).bytes);
    case 1:
      return build_string(std::get<Text>(value).bytes);
    case 2:
      return PyLong_FromLongLong(std::get<std::int64_t>(value));
    default:
      return PyFloat_FromDouble(std::get<double>(value));
  }
}

}  // namespace

PyObject* build_payload(const std::optional<Payload>& payload) {
  if (!payload) {
    Py_RETURN_NONE;
  }
  // Keys in byte order: the stored map keeps no order of its own worth showing.
  std::vector<const Payload::value_type*> entries;
  entries.reserve(payload->size());
  for (const Payload::value_type& entry : *payload) {
    entries.push_back(&entry);
  }
  std::sort(entries.begin(), entries.end(),
            [](const auto* a, const auto* b) { return a->first < b->first; });
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) {
    return nullptr;
  }
  for (const Payload::value_type* entry : entries) {
    PyRef key = PyRef::steal(build_string(entry->first));
    PyRef item = PyRef::steal(build_value(entry->second));
    if (!key || !item || PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) {
      return nullptr;
    }
  }
  return dict.release();
}

int convert_payload(PyObject* object, const char* parameter, std::optional<Payload>& out) {
  if (object == Py_None) {
    out.reset();
    return 0;
  }
  if (!PyDict_Check(object)) {
    raise_not_instance(object, "dict");
    add_argument_note(parameter);
    return -1;
  }
  Payload payload;
  DictWalk walk(object);
  for (;;) {
    PyRef key;
    PyRef value;
    int fetched = walk.next(key, value);
    if (fetched < 0) {
      return -1;
    }
    if (fetched == 0) {
      break;
    }
    // A key that is not a str fails the whole payload, even if its value would be skipped.
    if (!PyUnicode_Check(key.get())) {
      raise_not_instance(key.get(), "str");
      return -1;
    }
    std::string name;
    if (utf8_of(key.get(), name) < 0) {
      return -1;
    }
    PayloadValue converted;
    int kind = convert_value(value.get(), converted);
    if (kind < 0) {
      return -1;
    }
    if (kind > 0) {
      // Distinct str-subclass keys may share their bytes: the later value wins.
      payload.insert_or_assign(std::move(name), std::move(converted));
    }
  }
  out = std::move(payload);
  return 0;
}

}  // namespace tarnwick::bindings

#include "bindings/arguments.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>

namespace tarnwick::bindings {

namespace {

// A length hint sizes only the first reservation: a lying __len__ must not make us allocate
// more than this up front.
constexpr std::size_t MAX_RESERVED_BYTES = std::size_t{4} << 20;

/* ---------- Binding ---------- */

int raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  const std::size_t count = signature.positional;
  if (signature.required >= count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 signature.function, count, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 signature.function, signature.required, count, given, verb);
  }
  return -1;
}

// The parameter's index, or the parameter count when no parameter has this name.
std::size_t find_parameter(const Signature& signature, PyObject* name) {
  const std::size_t count = signature.parameters.size();
  if (!PyUnicode_Check(name)) {
    return count;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (PyUnicode_EqualToUTF8(name, signature.parameters[i])) {
      return i;
    }
  }
  return count;
}

// Lists the missing names as CPython does: 'a' / 'a' and 'b' / 'a', 'b', and 'c'.
int raise_missing(const Signature& signature, const BoundArguments& bound) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (!bound[i]) {
      missing.push_back(signature.parameters[i]);
    }
  }
  std::string list;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      list += missing.size() > 2 ? ", " : " ";
      if (i + 1 == missing.size()) {
        list += "and ";
      }
    }
    list += '\'';
    list += missing[i];
    list += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", signature.function,
               missing.size(), missing.size() == 1 ? "argument" : "arguments", list.c_str());
  return -1;
}

/* ---------- Conversions (no argument note) ---------- */

int to_u64(PyObject* object, std::uint64_t& out) {
  PyRef integer = PyRef::steal(PyNumber_Index(object));
  if (!integer) {
    return -1;
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return -1;
  }
  out = value;
  return 0;
}

int to_string(PyObject* object, std::string& out) {
  if (!PyUnicode_Check(object)) {
    raise_not_instance(object, "str");
    return -1;
  }
  return utf8_of(object, out);
}

int append_float(PyObject* item, std::vector<float>& out) {
  double value;
  if (PyFloat_CheckExact(item)) {
    value = PyFloat_AS_DOUBLE(item);
  } else {
    value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) {
      return -1;
    }
  }
  // Round to nearest single precision; out-of-range magnitudes become infinities.
  out.push_back(static_cast<float>(value));
  return 0;
}

// Refuses what can never be a vector (str, non-sequences) with the messages of the rules.
int check_vector_like(PyObject* object) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return -1;
  }
  if (!PySequence_Check(object)) {
    raise_not_instance(object, "Sequence");
    return -1;
  }
  return 0;
}

template <typename T>
void reserve_from_length_hint(PyObject* object, std::vector<T>& out) {
  Py_ssize_t hint = PyObject_Size(object);
  if (hint < 0) {
    PyErr_Clear();
    return;
  }
  out.reserve(std::min(static_cast<std::size_t>(hint), MAX_RESERVED_BYTES / sizeof(T)));
}

// Calls visit(item) on each item from `start` on, re-reading the length every step as the
// list iterator does, so a list changed by the visit is still walked safely.
template <typename Visit>
int for_each_list_item(PyObject* list, Py_ssize_t start, Visit visit) {
  for (Py_ssize_t i = start; i < PyList_Size(list); ++i) {
    PyRef item = PyRef::steal(PyList_GetItemRef(list, i));
    if (!item) {
      // Another thread shrank the list since the length check: that ends the walk.
      PyErr_Clear();
      return 0;
    }
    if (visit(item.get()) < 0) {
      return -1;
    }
  }
  return 0;
}

// Calls visit(item) on each item in iteration order. Exact lists and tuples are read by
// index, which is what their own iterators do.
template <typename Visit>
int for_each_item(PyObject* sequence, Visit visit) {
  if (PyList_CheckExact(sequence)) {
    return for_each_list_item(sequence, 0, visit);
  }
  if (PyTuple_CheckExact(sequence)) {
    // A tuple cannot change, and we hold it, so its items stay alive.
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(sequence); ++i) {
      if (visit(PyTuple_GET_ITEM(sequence, i)) < 0) {
        return -1;
      }
    }
    return 0;
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(sequence));
  if (!iterator) {
    return -1;
  }
  for (;;) {
    PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
    if (!item) {
      return PyErr_Occurred() ? -1 : 0;
    }
    if (visit(item.get()) < 0) {
      return -1;
    }
  }
}

// Appends the leading run of exact floats among `items` (at most `count`) to `out`, which has
// room reserved for them. Reads no attribute and calls no Python code, so it is safe inside a
// critical section. Returns how many items were copied.
Py_ssize_t copy_leading_floats(PyObject* const* items, Py_ssize_t count, std::vector<float>& out) {
  const std::size_t start = out.size();
  out.resize(start + static_cast<std::size_t>(count));
  float* target = out.data() + start;
  Py_ssize_t i = 0;
  for (; i < count && PyFloat_CheckExact(items[i]); ++i) {
    target[i] = static_cast<float>(PyFloat_AS_DOUBLE(items[i]));
  }
  out.resize(start + static_cast<std::size_t>(i));
  return i;
}

// The list's leading exact floats, copied while no other thread can change the list.
Py_ssize_t copy_leading_list_floats(PyObject* list, std::vector<float>& out) {
  Py_ssize_t copied = 0;
  Py_BEGIN_CRITICAL_SECTION(list);
  const Py_ssize_t room = static_cast<Py_ssize_t>(out.capacity() - out.size());
  copied = copy_leading_floats(PySequence_Fast_ITEMS(list), std::min(PyList_GET_SIZE(list), room),
                               out);
  Py_END_CRITICAL_SECTION();
  return copied;
}

/* ---------- Float buffers (numpy arrays, array.array, memoryview) ---------- */

// Releases a buffer view on every path out of the copy.
class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (acquired_) {
      PyBuffer_Release(&view_);
    }
  }

  // Asks for a strided view with its format; a refusal only means the object is iterated.
  bool acquire(PyObject* object) {
    acquired_ = PyObject_GetBuffer(object, &view_, PyBUF_FORMAT | PyBUF_STRIDES) == 0;
    if (!acquired_) {
      PyErr_Clear();
    }
    return acquired_;
  }
  const Py_buffer& get() const { return view_; }

 private:
  Py_buffer view_{};
  bool acquired_ = false;
};

// The buffer holds exactly what iteration would yield only while the object's type reads its
// items and length the way the type that exports the buffer does. A subclass with its own
// __iter__, __getitem__ or __len__ (numpy's masked arrays, for one) is iterated instead.
bool items_are_the_buffer(PyTypeObject* type) {
  PyTypeObject* exporter = type;
  while (exporter->tp_base != nullptr && exporter->tp_base->tp_as_buffer != nullptr &&
         exporter->tp_base->tp_as_buffer->bf_getbuffer == type->tp_as_buffer->bf_getbuffer) {
    exporter = exporter->tp_base;
  }
  if (exporter == type) {
    return true;
  }
  auto slots = [](PyTypeObject* t) {
    return std::array<void*, 5>{
        reinterpret_cast<void*>(t->tp_iter),
        t->tp_as_sequence ? reinterpret_cast<void*>(t->tp_as_sequence->sq_item) : nullptr,
        t->tp_as_sequence ? reinterpret_cast<void*>(t->tp_as_sequence->sq_length) : nullptr,
        t->tp_as_mapping ? reinterpret_cast<void*>(t->tp_as_mapping->mp_subscript) : nullptr,
        t->tp_as_mapping ? reinterpret_cast<void*>(t->tp_as_mapping->mp_length) : nullptr};
  };
  return slots(type) == slots(exporter);
}

// 'f' or 'd' in native order and size, or 0 for any other format.
char native_float_format(const char* format) {
  if (format == nullptr) {
    return 0;  // no format means unsigned bytes
  }
  if (*format == '@' || *format == '=' ||
      (*format == '<' && std::endian::native == std::endian::little)) {
    ++format;
  }
  return (format[0] == 'f' || format[0] == 'd') && format[1] == '\0' ? format[0] : 0;
}

// Iterating a float32 item passes it through a double, which quiets a signalling NaN; the
// copy quiets it the same way so both routes store the same bits.
float as_iterated(float value) {
  if (std::isnan(value)) {
    value = std::bit_cast<float>(std::bit_cast<std::uint32_t>(value) | 0x00400000u);
  }
  return value;
}

float as_iterated(double value) { return static_cast<float>(value); }

template <typename Item>
void copy_items(const char* item, Py_ssize_t stride, std::vector<float>& out) {
  for (float& value : out) {
    Item read;
    std::memcpy(&read, item, sizeof read);
    value = as_iterated(read);
    item += stride;
  }
}

// Copies a one-dimensional float32 or float64 buffer without a Python call per item, giving
// the values iteration would. Returns true when copied; false when the object must be
// iterated instead (no buffer, another format or shape, or a type with its own item access).
bool copy_float_buffer(PyObject* object, std::vector<float>& out) {
  PyTypeObject* type = Py_TYPE(object);
  if (type->tp_as_buffer == nullptr || type->tp_as_buffer->bf_getbuffer == nullptr ||
      !items_are_the_buffer(type)) {
    return false;
  }
  BufferView buffer;
  if (!buffer.acquire(object)) {
    return false;
  }
  const Py_buffer& view = buffer.get();
  const char format = native_float_format(view.format);
  const Py_ssize_t item_size = format == 'f' ? 4 : 8;
  if (format == 0 || view.ndim != 1 || view.itemsize != item_size ||
      view.suboffsets != nullptr) {
    return false;
  }
  // Some exporters (ctypes) leave out the strides of a contiguous buffer.
  const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : item_size;
  const Py_ssize_t count = view.shape != nullptr ? view.shape[0] : view.len / item_size;
  // The exporter's own length is real memory, so it may size the result in full.
  out.resize(static_cast<std::size_t>(count));
  const char* first = static_cast<const char*>(view.buf);
  if (format == 'f') {
    copy_items<float>(first, stride, out);
  } else {
    copy_items<double>(first, stride, out);
  }
  return true;
}

int to_float_vector(PyObject* object, std::vector<float>& out) {
  if (check_vector_like(object) < 0) {
    return -1;
  }
  auto append = [&out](PyObject* item) { return append_float(item, out); };
  if (PyList_CheckExact(object)) {
    // The list's own length is real memory, so it may size the reservation in full.
    out.reserve(static_cast<std::size_t>(PyList_Size(object)));
    return for_each_list_item(object, copy_leading_list_floats(object, out), append);
  }
  if (PyTuple_CheckExact(object)) {
    // A tuple cannot change, and we hold it, so its items stay alive.
    const Py_ssize_t size = PyTuple_GET_SIZE(object);
    out.reserve(static_cast<std::size_t>(size));
    PyObject* const* items = PySequence_Fast_ITEMS(object);
    for (Py_ssize_t i = copy_leading_floats(items, size, out); i < size; ++i) {
      if (append(items[i]) < 0) {
        return -1;
      }
    }
    return 0;
  }
  if (copy_float_buffer(object, out)) {
    return 0;
  }
  reserve_from_length_hint(object, out);
  return for_each_item(object, append);
}

int to_float_vectors(PyObject* object, std::vector<std::vector<float>>& out) {
  if (check_vector_like(object) < 0) {
    return -1;
  }
  reserve_from_length_hint(object, out);
  return for_each_item(object, [&out](PyObject* item) {
    out.emplace_back();
    return to_float_vector(item, out.back());
  });
}

/* ---------- Many items at once (upsert_many, delete_many) ---------- */

// Attaches the item note when converting an item has failed; passes its result through.
int noted_item(int result, const char* parameter, std::size_t index) {
  if (result < 0) {
    add_item_note(parameter, index);
  }
  return result;
}

// The size of a native integer format ('b' to 'q', 'B' to 'Q'), negative when signed; 0 for
// any other format.
int native_integer_size(const char* format) {
  if (format == nullptr) {
    return 1;  // no format means unsigned bytes
  }
  if (*format == '@' || *format == '=' ||
      (*format == '<' && std::endian::native == std::endian::little)) {
    ++format;
  }
  if (format[0] == '\0' || format[1] != '\0') {
    return 0;
  }
  switch (format[0]) {
    case 'b': return -1;
    case 'h': return -2;
    case 'i': return -4;
    case 'l': case 'q': return -8;
    case 'B': return 1;
    case 'H': return 2;
    case 'I': return 4;
    case 'L': case 'Q': return 8;
    default: return 0;
  }
}

// Copies a one-dimensional integer buffer without a Python call per item. Returns 1 when
// copied, 0 when the object must be iterated instead, -1 for a negative item.
int copy_integer_buffer(PyObject* object, const char* parameter, std::vector<std::uint64_t>& out) {
  PyTypeObject* type = Py_TYPE(object);
  if (type->tp_as_buffer == nullptr || type->tp_as_buffer->bf_getbuffer == nullptr ||
      !items_are_the_buffer(type)) {
    return 0;
  }
  BufferView buffer;
  if (!buffer.acquire(object)) {
    return 0;
  }
  const Py_buffer& view = buffer.get();
  const int size = native_integer_size(view.format);
  const Py_ssize_t item_size = size < 0 ? -size : size;
  if (size == 0 || view.ndim != 1 || view.itemsize != item_size || view.suboffsets != nullptr) {
    return 0;
  }
  const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : item_size;
  const Py_ssize_t count = view.shape != nullptr ? view.shape[0] : view.len / item_size;
  out.resize(static_cast<std::size_t>(count));
  const char* item = static_cast<const char*>(view.buf);
  for (std::size_t i = 0; i < out.size(); ++i, item += stride) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, item, static_cast<std::size_t>(item_size));  // little-endian host
    if (size < 0 && item_size < 8 && (bits >> (8 * item_size - 1)) != 0) {
      bits |= ~std::uint64_t{0} << (8 * item_size);  // sign extension
    }
    if (size < 0 && static_cast<std::int64_t>(bits) < 0) {
      PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
      return noted_item(-1, parameter, i);
    }
    out[i] = bits;
  }
  return 1;
}

// Copies a two-dimensional float32 or float64 buffer row by row, giving the values iteration
// would. Returns true when copied; false when the object must be iterated instead.
bool copy_float_rows(PyObject* object, std::vector<std::vector<float>>& out) {
  PyTypeObject* type = Py_TYPE(object);
  if (type->tp_as_buffer == nullptr || type->tp_as_buffer->bf_getbuffer == nullptr ||
      !items_are_the_buffer(type)) {
    return false;
  }
  BufferView buffer;
  if (!buffer.acquire(object)) {
    return false;
  }
  const Py_buffer& view = buffer.get();
  const char format = native_float_format(view.format);
  const Py_ssize_t item_size = format == 'f' ? 4 : 8;
  if (format == 0 || view.ndim != 2 || view.itemsize != item_size || view.suboffsets != nullptr ||
      view.shape == nullptr) {
    return false;
  }
  const Py_ssize_t row_stride = view.strides != nullptr ? view.strides[0] : view.shape[1] * item_size;
  const Py_ssize_t column_stride = view.strides != nullptr ? view.strides[1] : item_size;
  out.assign(static_cast<std::size_t>(view.shape[0]), std::vector<float>(static_cast<std::size_t>(view.shape[1])));
  const char* row = static_cast<const char*>(view.buf);
  for (std::vector<float>& values : out) {
    if (format == 'f') {
      copy_items<float>(row, column_stride, values);
    } else {
      copy_items<double>(row, column_stride, values);
    }
    row += row_stride;
  }
  return true;
}

// Attaches the argument note when a conversion has failed; passes its result through.
int noted(int result, const char* parameter) {
  if (result < 0) {
    add_argument_note(parameter);
  }
  return result;
}

}  // namespace

int bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, BoundArguments& bound) {
  const std::size_t count = signature.parameters.size();
  if (static_cast<std::size_t>(nargs) > signature.positional) {
    return raise_too_many_positional(signature, nargs);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    bound[i] = PyRef::borrow(args[i]);
  }
  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    const std::size_t index = find_parameter(signature, name);
    if (index == count) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                   signature.function, name);
      return -1;
    }
    if (bound[index]) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%S'",
                   signature.function, name);
      return -1;
    }
    bound[index] = PyRef::borrow(args[nargs + k]);
  }
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (!bound[i]) {
      return raise_missing(signature, bound);
    }
  }
  return 0;
}

int bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                   BoundArguments& bound) {
  // Lay the arguments out as a vectorcall would. The items list is one consistent copy of
  // the keywords, even if another thread changes the dict meanwhile.
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  std::vector<PyObject*> stack(static_cast<std::size_t>(nargs));
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    stack[i] = PyTuple_GET_ITEM(args, i);
  }
  if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
    return bind_arguments(signature, stack.data(), nargs, nullptr, bound);
  }
  PyRef items = PyRef::steal(PyDict_Items(kwargs));
  if (!items) {
    return -1;
  }
  const Py_ssize_t keyword_count = PyList_GET_SIZE(items.get());
  PyRef kwnames = PyRef::steal(PyTuple_New(keyword_count));
  if (!kwnames) {
    return -1;
  }
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* pair = PyList_GET_ITEM(items.get(), k);
    PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(PyTuple_GET_ITEM(pair, 0)));
    stack.push_back(PyTuple_GET_ITEM(pair, 1));
  }
  return bind_arguments(signature, stack.data(), nargs, kwnames.get(), bound);
}

void raise_not_instance(PyObject* object, const char* expected) {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return;
  }
  PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!type_name) {
    return;
  }
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", type_name.get(),
               expected);
}

void add_argument_note(const char* parameter) {
  PyObject* error = PyErr_GetRaisedException();
  if (error == nullptr) {
    return;
  }
  PyRef result = PyRef::steal(
      PyObject_CallMethod(error, "add_note", "(N)",
                          PyUnicode_FromFormat("while processing '%s'", parameter)));
  if (!result) {
    PyErr_Clear();
  }
  PyErr_SetRaisedException(error);
}

void add_item_note(const char* parameter, std::size_t index) {
  PyObject* error = PyErr_GetRaisedException();
  if (error == nullptr) {
    return;
  }
  PyRef result = PyRef::steal(PyObject_CallMethod(
      error, "add_note", "(N)", PyUnicode_FromFormat("while processing '%s' item %zu", parameter, index)));
  if (!result) {
    PyErr_Clear();
  }
  PyErr_SetRaisedException(error);
}

int utf8_of(PyObject* text, std::string& out) {
  Py_ssize_t size = 0;
  const char* bytes = PyUnicode_AsUTF8AndSize(text, &size);
  if (bytes == nullptr) {
    return -1;
  }
  out.assign(bytes, static_cast<std::size_t>(size));
  return 0;
}

int convert_u64(PyObject* object, const char* parameter, std::uint64_t& out) {
  return noted(to_u64(object, out), parameter);
}

int convert_optional_u64(PyObject* object, const char* parameter,
                         std::optional<std::uint64_t>& out) {
  if (object == nullptr || object == Py_None) {
    out.reset();
    return 0;
  }
  return noted(to_u64(object, out.emplace()), parameter);
}

int convert_bool(PyObject* object, const char* parameter, bool& out) {
  if (object == nullptr) {
    out = false;
    return 0;
  }
  const int truth = PyObject_IsTrue(object);
  out = truth > 0;
  return noted(truth < 0 ? -1 : 0, parameter);
}

int convert_string(PyObject* object, const char* parameter, std::string& out) {
  return noted(to_string(object, out), parameter);
}

int convert_optional_string(PyObject* object, const char* parameter,
                            std::optional<std::string>& out) {
  if (object == nullptr || object == Py_None) {
    out.reset();
    return 0;
  }
  return noted(to_string(object, out.emplace()), parameter);
}

int convert_float_vector(PyObject* object, const char* parameter, std::vector<float>& out) {
  return noted(to_float_vector(object, out), parameter);
}

int convert_float_vectors(PyObject* object, const char* parameter,
                          std::vector<std::vector<float>>& out) {
  return noted(to_float_vectors(object, out), parameter);
}

int convert_point_ids(PyObject* object, const char* parameter, std::vector<std::uint64_t>& out) {
  out.clear();
  if (const int copied = copy_integer_buffer(object, parameter, out); copied != 0) {
    return copied < 0 ? -1 : 0;
  }
  if (check_vector_like(object) < 0) {
    return noted(-1, parameter);
  }
  reserve_from_length_hint(object, out);
  return for_each_item(object, [&](PyObject* item) {
    std::uint64_t id = 0;
    if (noted_item(to_u64(item, id), parameter, out.size()) < 0) {
      return -1;
    }
    out.push_back(id);
    return 0;
  });
}

int convert_vector_rows(PyObject* object, const char* parameter, std::vector<std::vector<float>>& out) {
  out.clear();
  if (copy_float_rows(object, out)) {
    return 0;
  }
  if (check_vector_like(object) < 0) {
    return noted(-1, parameter);
  }
  reserve_from_length_hint(object, out);
  return for_each_item(object, [&](PyObject* item) {
    out.emplace_back();
    return noted_item(to_float_vector(item, out.back()), parameter, out.size() - 1);
  });
}

int convert_items(PyObject* object, const char* parameter,
                  const std::function<int(PyObject*, std::size_t)>& convert) {
  if (check_vector_like(object) < 0) {
    return noted(-1, parameter);
  }
  std::size_t index = 0;
  return for_each_item(object, [&](PyObject* item) {
    const std::size_t position = index++;
    return noted_item(convert(item, position), parameter, position);
  });
}

}  // namespace tarnwick::bindings

// Argument binding and conversion shared by the constructor and every VectorStorage method.
//
// Binding follows CPython's own wording for its messages. Conversions run before any store
// lock is taken; a failing conversion keeps its exception and gains the note
// "while processing '{parameter}'".
#pragma once

#include "bindings/py_ref.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tarnwick::bindings {

inline constexpr std::size_t MAX_PARAMETERS = 6;

// The parameters of one callable. The first `positional` are positional-or-keyword, the rest
// keyword-only; the required ones come first and the rest default to None.
struct Signature {
  const char* function;                     // name used in messages, e.g. "VectorStorage.search()"
  std::span<const char* const> parameters;  // names in order
  std::size_t required;                     // how many leading parameters have no default
  std::size_t positional;                   // how many leading parameters may be positional
};

template <std::size_t N>
constexpr Signature make_signature(const char* function, const char* const (&parameters)[N],
                                   std::size_t required, std::size_t positional = N) {
  static_assert(N <= MAX_PARAMETERS);
  return Signature{function, std::span<const char* const>(parameters, N), required, positional};
}

// One strong reference per parameter, in parameter order; NULL for a default left out.
using BoundArguments = std::array<PyRef, MAX_PARAMETERS>;

// Binds vectorcall arguments: `nargs` positional values, then one value per name in the
// tuple `kwnames` (which may be NULL). Returns 0, or -1 with a TypeError set.
int bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, BoundArguments& bound);
// The same for tp_new's arguments: a tuple and a dict of keywords (which may be NULL).
int bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                   BoundArguments& bound);

// Raises TypeError "'{type}' object is not an instance of '{expected}'" (with {type} the
// qualified type name), or "'None' is not an instance of '{expected}'" for None.
void raise_not_instance(PyObject* object, const char* expected);

// Adds the note "while processing '{parameter}'" to the exception being raised. Should the
// note itself fail, that error is dropped and the original one stays.
void add_argument_note(const char* parameter);

// Adds the note "while processing '{parameter}' item {index}" in the same way.
void add_item_note(const char* parameter, std::size_t index);

// The UTF-8 bytes of a str (or str subclass). Returns -1 with UnicodeEncodeError set for lone
// surrogates. No argument note.
int utf8_of(PyObject* text, std::string& out);

// The conversions. Each returns 0, or -1 with the conversion's own exception set and the
// argument note for `parameter` attached.

// An int, or any object with __index__, from 0 to 2^64 - 1.
int convert_u64(PyObject* object, const char* parameter, std::uint64_t& out);
// None (or NULL) gives no value; anything else is an unsigned 64-bit integer as above.
int convert_optional_u64(PyObject* object, const char* parameter,
                         std::optional<std::uint64_t>& out);
// Any object, by its truth value (NULL, for a parameter left out, is false).
int convert_bool(PyObject* object, const char* parameter, bool& out);
// A str or str subclass, as UTF-8.
int convert_string(PyObject* object, const char* parameter, std::string& out);
// None (or NULL, for a parameter left out) gives no value; anything else is a string.
int convert_optional_string(PyObject* object, const char* parameter,
                            std::optional<std::string>& out);
// Any sequence other than str, each item a float or convertible to one, rounded to 32 bits.
// One-dimensional float32 and float64 buffers (numpy arrays, array.array, memoryview) are
// copied without a Python call per item, to the same values.
int convert_float_vector(PyObject* object, const char* parameter, std::vector<float>& out);
// A sequence (not a str) of float vectors.
int convert_float_vectors(PyObject* object, const char* parameter,
                          std::vector<std::vector<float>>& out);

// Conversions of many items at once. A failing item keeps its exception and gains the note
// "while processing '{parameter}' item {index}" instead.

// Point identifiers: any sequence other than str of ints (or objects with __index__), or a
// one-dimensional integer buffer, copied without a Python call per item.
int convert_point_ids(PyObject* object, const char* parameter, std::vector<std::uint64_t>& out);
// Vectors: a two-dimensional float32 or float64 buffer, copied without a Python call per
// item, or any sequence other than str of vectors, each converted as convert_float_vector does.
int convert_vector_rows(PyObject* object, const char* parameter, std::vector<std::vector<float>>& out);
// Calls convert(item, index) on each item of a sequence other than str.
int convert_items(PyObject* object, const char* parameter,
                  const std::function<int(PyObject*, std::size_t)>& convert);

}  // namespace tarnwick::bindings

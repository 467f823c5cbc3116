// Conversion of upsert's Python payload argument into a payload map.
#pragma once

#include "bindings/py_ref.hpp"
#include "core/vector.hpp"

#include <optional>

namespace tarnwick::bindings {

// None gives no payload; a dict (or subclass) gives a map of its str keys to their str, int
// and float values, other values skipped. Returns 0, or -1 with an exception set: only a
// payload that is not a dict carries the note for `parameter`, errors inside it are raised as is.
int convert_payload(PyObject* object, const char* parameter, std::optional<Payload>& out);

// The payload as Python sees it: None, or a new dict, keys in byte order, with Keyword and
// Text values as str, Integer as int and Float as float. Returns a new reference, or NULL with an exception set.
PyObject* build_payload(const std::optional<Payload>& payload);

}  // namespace tarnwick::bindings

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

}  // namespace tarnwick::bindings

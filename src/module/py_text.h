// Text for and from the interpreter: strs, interned names and messages.
#pragma once

#include "internal_failure.h"

#include <optional>
#include <string>

namespace vesk {

// A new str from UTF-8 text; failing to make it is an internal failure.
PyRef new_str(const std::string &text, SourceLocation where);

// The interned str for a constant name, made once per process into `slot`.
PyObject *interned(PyObject *&slot, const char *text);

// The UTF-8 text of a str, lone surrogates becoming U+FFFD.
std::string lenient_utf8(PyObject *str);

// Sets an exception of `type` whose one argument is `message`.
void raise_message(PyObject *type, const std::string &message);

// The `__qualname__` of an object's type, or nothing if it cannot be read as
// a str.
std::optional<std::string> type_name(PyObject *object);

// Sets "'<type>' object cannot be converted to '<target>'" as a TypeError.
void raise_conversion_error(PyObject *object, const char *target);

} // namespace vesk

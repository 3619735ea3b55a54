#include "arguments.h"

#include "py_text.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace vesk {
namespace {

constexpr const char *kFunctionName = "rsr_gemm()";
constexpr std::array<const char *, 6> kParameters = {
    "a_bytes", "b_bytes", "n", "k", "m", "block_size"};
constexpr Py_ssize_t kParameterCount = kParameters.size();

using Slots = decltype(GemmArguments::objects);
static_assert(std::tuple_size<Slots>::value == kParameters.size(),
              "one slot per parameter");

// A binding TypeError: the function's name, then `detail`.
void raise_binding_error(const std::string &detail) {
  raise_message(PyExc_TypeError, kFunctionName + detail);
}

// str() of an object for a message; an object that cannot be shown is
// reported as unraisable and named by its type.
std::string render(PyObject *object) {
  PyRef text = PyRef::steal(PyObject_Str(object));
  if (text)
    return lenient_utf8(text.get());
  propagate_interpreter_error();
  PyErr_WriteUnraisable(object);
  const std::optional<std::string> type = type_name(object);
  return type ? "<unprintable " + *type + " object>" : "<unprintable object>";
}

// 'a', 'a' and 'b', 'a', 'b', and 'c'.
std::string name_list(const Slots &slots, std::size_t missing) {
  std::string list;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (slots[i])
      continue;
    if (listed > 0)
      list += missing > 2 ? ", " : " ";
    if (listed > 0 && listed + 1 == missing)
      list += "and ";
    list += std::string("'") + kParameters[i] + "'";
    ++listed;
  }
  return list;
}

std::optional<std::size_t> parameter_index(std::string_view name) {
  for (std::size_t i = 0; i < kParameters.size(); ++i) {
    if (name == kParameters[i])
      return i;
  }
  return std::nullopt;
}

bool bind_keyword(PyObject *name, PyObject *value, Slots &slots) {
  if (!PyUnicode_Check(name)) {
    raise_conversion_error(name, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char *text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr)
    PyErr_Clear(); // no UTF-8 form, so it names no parameter
  const std::optional<std::size_t> index =
      text ? parameter_index(std::string_view(text, size)) : std::nullopt;
  if (index && slots[*index]) {
    raise_binding_error(" got multiple values for argument '" +
                        std::string(text, size) + "'");
    return false;
  }
  if (index) {
    slots[*index] = PyRef::borrow(value);
    return true;
  }
  raise_binding_error(" got an unexpected keyword argument '" + render(name) +
                      "'");
  return false;
}

bool bind(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
          Slots &slots) {
  if (nargs > kParameterCount) {
    raise_binding_error(" takes " + std::to_string(kParameterCount) +
                        " positional arguments but " + std::to_string(nargs) +
                        (nargs == 1 ? " was" : " were") + " given");
    return false;
  }
  std::transform(args, args + nargs, slots.begin(), PyRef::borrow);
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    if (!bind_keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots))
      return false;
  }
  std::size_t missing = 0;
  for (const PyRef &slot : slots)
    missing += !slot;
  if (missing == 0)
    return true;
  raise_binding_error(" missing " + std::to_string(missing) +
                      " required positional " +
                      (missing == 1 ? "argument" : "arguments") + ": " +
                      name_list(slots, missing));
  return false;
}

// Re-raises a conversion TypeError (exactly that type) with the parameter's
// name in front; every other exception passes unchanged.
void name_conversion_failure(const char *parameter) {
  FetchedError error = FetchedError::fetch();
  error.normalize();
  if (error.type() != PyExc_TypeError) {
    error.restore();
    return;
  }
  PyRef message = new_str(std::string("argument '") + parameter +
                              "': " + render(error.value()),
                          VESK_HERE);
  PyRef named = expect_object(
      PyObject_CallOneArg(PyExc_TypeError, message.get()), VESK_HERE);
  // Setting the cause, even to none, also suppresses the context.
  PyException_SetCause(named.get(), PyException_GetCause(error.value()));
  PyErr_SetObject(PyExc_TypeError, named.get());
}

// A bytes object or subclass, used in place; no buffer protocol.
bool convert_bytes(PyObject *object, const char *parameter, ByteView &out) {
  if (!PyBytes_Check(object)) {
    raise_conversion_error(object, "PyBytes");
    name_conversion_failure(parameter);
    return false;
  }
  out.data = PyBytes_AS_STRING(object);
  out.size = static_cast<std::size_t>(PyBytes_GET_SIZE(object));
  return true;
}

// Any object with __index__ whose value fits in signed 32 bits, whatever the
// width of the platform's long.
bool convert_int32(PyObject *object, const char *parameter, std::int32_t &out) {
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) {
    propagate_interpreter_error();
    name_conversion_failure(parameter);
    return false;
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) {
    propagate_interpreter_error();
    name_conversion_failure(parameter);
    return false;
  }
  if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) {
    raise_message(PyExc_OverflowError,
                  "Python int too large to convert to C long");
    return false;
  }
  out = static_cast<std::int32_t>(value);
  return true;
}

} // namespace

bool parse_gemm_arguments(PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames, GemmArguments &out) {
  const Slots &slots = out.objects;
  return bind(args, nargs, kwnames, out.objects) &&
         convert_bytes(slots[0].get(), kParameters[0], out.a) &&
         convert_bytes(slots[1].get(), kParameters[1], out.b) &&
         convert_int32(slots[2].get(), kParameters[2], out.n) &&
         convert_int32(slots[3].get(), kParameters[3], out.k) &&
         convert_int32(slots[4].get(), kParameters[4], out.m) &&
         convert_int32(slots[5].get(), kParameters[5], out.block_size);
}

} // namespace vesk

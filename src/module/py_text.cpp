#include "py_text.h"

#include "process_state.h"

namespace vesk {

PyRef new_str(const std::string &text, SourceLocation where) {
  return expect_object(PyUnicode_FromStringAndSize(
                           text.data(), static_cast<Py_ssize_t>(text.size())),
                       where);
}

PyObject *interned(PyObject *&slot, const char *text) {
  if (slot == nullptr)
    slot = expect_object(PyUnicode_InternFromString(text), VESK_HERE).release();
  return slot;
}

std::string lenient_utf8(PyObject *str) {
  Py_ssize_t size = 0;
  if (const char *utf8 = PyUnicode_AsUTF8AndSize(str, &size))
    return std::string(utf8, static_cast<size_t>(size));
  PyErr_Clear();
  PyRef raw = expect_object(
      PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"), VESK_HERE);
  PyRef repaired = expect_object(
      PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()),
                           PyBytes_GET_SIZE(raw.get()), "replace"),
      VESK_HERE);
  const char *utf8 = PyUnicode_AsUTF8AndSize(repaired.get(), &size);
  if (utf8 == nullptr)
    fail_python_api(VESK_HERE);
  return std::string(utf8, static_cast<size_t>(size));
}

void raise_message(PyObject *type, const std::string &message) {
  // Made here rather than by PyErr_SetString, which raises the exception
  // without its message when the str cannot be made.
  PyRef text = new_str(message, VESK_HERE);
  PyErr_SetObject(type, text.get());
}

std::optional<std::string> type_name(PyObject *object) {
  PyRef name = PyRef::steal(
      PyObject_GetAttr(reinterpret_cast<PyObject *>(Py_TYPE(object)),
                       interned(g_process.qualname_name, "__qualname__")));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return std::nullopt;
  }
  return lenient_utf8(name.get());
}

void raise_conversion_error(PyObject *object, const char *target) {
  const std::optional<std::string> type = type_name(object);
  raise_message(PyExc_TypeError,
                "'" + type.value_or("<failed to extract type name>") +
                    "' object cannot be converted to '" + target + "'");
}

} // namespace vesk

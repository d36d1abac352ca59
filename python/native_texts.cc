#include "python/native_texts.h"

#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <typeinfo>

namespace py = pybind11;

namespace dodezero_vizu {
namespace {

// Sets `type` as the pending error with the exception's text (never empty).
void SetError(PyObject* type, const std::exception& e) {
  std::string text = e.what() != nullptr ? e.what() : "";
  if (text.empty()) {
    std::string name = typeid(e).name();
    py::detail::clean_type_id(name);
    text = "A native " + name + " was raised without a message.";
  }
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message == nullptr) return;  // out of memory: that error is set instead
  PyErr_SetObject(type, message);
  Py_DECREF(message);
}

void Translate(std::exception_ptr p) {
  try {
    std::rethrow_exception(p);
  } catch (const py::error_already_set&) {
    throw;  // a Python error, restored by pybind11 as it is
  } catch (const py::builtin_exception& e) {
    // Each of pybind11's own exceptions knows its Python type: let it set itself, keep the type.
    e.set_error();
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    Py_XDECREF(value);
    Py_XDECREF(trace);
    SetError(type != nullptr ? type : PyExc_RuntimeError, e);
    Py_XDECREF(type);
  } catch (const std::bad_alloc& e) {
    SetError(PyExc_MemoryError, e);
  } catch (const std::domain_error& e) {
    SetError(PyExc_ValueError, e);
  } catch (const std::invalid_argument& e) {
    SetError(PyExc_ValueError, e);
  } catch (const std::length_error& e) {
    SetError(PyExc_ValueError, e);
  } catch (const std::out_of_range& e) {
    SetError(PyExc_IndexError, e);
  } catch (const std::range_error& e) {
    SetError(PyExc_ValueError, e);
  } catch (const std::overflow_error& e) {
    SetError(PyExc_OverflowError, e);
  } catch (const std::exception& e) {
    SetError(PyExc_RuntimeError, e);
  }
  // Anything else is not a std::exception: pybind11's own translation names it.
}

}  // namespace

void RegisterExceptionTexts() { py::register_local_exception_translator(&Translate); }

std::string FailureText(const std::exception& e) {
  const auto* python = dynamic_cast<const py::error_already_set*>(&e);
  if (python == nullptr || !python->type()) return e.what();
  std::string text = py::str(python->type().attr("__name__")).cast<std::string>();
  try {
    if (python->value()) text += ": " + py::str(python->value()).cast<std::string>();
  } catch (const py::error_already_set&) {
    // An exception whose str() fails itself: its type is all there is to tell.
  }
  return text;
}

bool IsUtf8(const std::string& text) {
  PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
  if (decoded == nullptr) {
    PyErr_Clear();
    return false;
  }
  Py_DECREF(decoded);
  return true;
}

}  // namespace dodezero_vizu

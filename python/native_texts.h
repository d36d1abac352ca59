// Native byte strings on their way to Python str: the texts of exceptions, and the texts that
// Python reads back later (item ids, index names).
//
// Native exceptions reach Python with the Python type that pybind11's own translation gives
// each (std::invalid_argument ValueError, pybind11::type_error TypeError, ...), and a text that is
// never empty. pybind11 decodes a text as strict UTF-8 and, when that fails, raises the exception
// with no text at all; a text that quotes bytes from outside (an index name, a location) is
// decoded here with the undecodable bytes replaced, and an exception without a text says so.
//
// RegisterExceptionTexts runs once, at import, with the interpreter lock held; the translator it
// registers is local to this module and runs on the thread whose call failed, lock held. Python
// errors already set (pybind11::error_already_set) pass unchanged.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace dodezero_vizu {

void RegisterExceptionTexts();

// The text of a failure caught on its way out of a call into Python code: for a Python error,
// "TypeName: message" without the traceback that pybind11 appends (frames of this module's own
// calls into Python, which tell a caller nothing); for anything else, what(). Lock held.
std::string FailureText(const std::exception& e);

// Whether `text` is valid UTF-8, as a text that Python reads back as str must be. Lock held.
bool IsUtf8(const std::string& text);

}  // namespace dodezero_vizu

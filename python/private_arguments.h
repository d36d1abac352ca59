// Members whose arguments must never be echoed: the index key, a connection string's password,
// and whatever sits beside them in a call. pybind11's TypeError for a call that does not match its registered signature
// repeats the repr of every argument, and applications log tracebacks. Such a member is registered as
// (*args, **kwargs) through DefPrivate (a constructor through DefPrivateInit), so that no call can
// fail to match, and binds and converts
// its arguments itself with PrivateSignature: by position or keyword as Python binds them, each with
// pybind11's own caster for its type. A call that does not bind or convert is refused with a
// TypeError that names the parameter, the Python type it was given and the supported signature,
// never a value. help() shows the signature pybind11 would have rendered for the typed member.
//
// Throws pybind11::type_error for a refused call; a caster's own Python error (a __len__ that
// raises, say) passes unchanged. Used at import and on the calling thread with the interpreter
// lock held; a signature is immutable once built.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "python/bindings.h"

namespace dodezero_vizu {

// The type text that pybind11 shows for T in a signature, a registered class as module.name.
template <typename T>
std::string SignatureTypeText();

struct PrivateParameter {
  std::string name;
  std::string type;                // as help() shows it, e.g. SignatureTypeText<std::string>()
  pybind11::object default_value;  // empty: the argument is required
};

class PrivateSignature {
 public:
  // `self_type` and `result` as help() shows them ("dodezero_vizu.Client"). A member named
  // "__init__" is a constructor: pybind11 hands it self apart from the arguments.
  PrivateSignature(std::string member, std::string self_type, std::vector<PrivateParameter> parameters,
                   std::string result);

  const std::string& member() const { return member_; }
  // The docstring laid out as pybind11 lays out its own: the signature line, a blank line, the text.
  std::string Docstring(const std::string& text) const;

  // The call bound to self and the parameters, in order, defaults filled in (a constructor's self
  // is None here). Refused: a missing self or argument, too many positional arguments, an unknown
  // or repeated keyword.
  std::vector<pybind11::object> Bind(const pybind11::args& args, const pybind11::kwargs& kwargs) const;

  // bound[position] (0 is self, parameter i is at i + 1) converted as pybind11 converts an argument
  // of type T; refused when it does not convert.
  template <typename T>
  T Convert(const std::vector<pybind11::object>& bound, size_t position) const;

  // The instance the member was called on; refused unless it is a Self.
  template <typename Self>
  Self& SelfOf(const std::vector<pybind11::object>& bound) const;

  [[noreturn]] void Refuse(const std::string& reason) const;

 private:
  // "(self: ..., name: type = default, ...) -> result"
  std::string Signature() const;
  const std::string& NameAt(size_t position) const;
  const std::string& TypeAt(size_t position) const;
  [[noreturn]] void RefuseConversion(const std::vector<pybind11::object>& bound, size_t position) const;

  bool constructor() const { return member_ == "__init__"; }

  std::string member_;
  std::string self_type_;
  std::vector<PrivateParameter> parameters_;
  std::string result_;
};

// Registers `body(signature, bound arguments)` on `cls` as the member named by the signature,
// with the signature's docstring.
template <typename Class, typename Body>
void DefPrivate(Class& cls, PrivateSignature signature, const std::string& text, Body body) {
  const std::string doc = signature.Docstring(text);
  // The signature line is written into the docstring, so pybind11 must not add its own
  // "(*args, **kwargs)" one; the options come back when this scope ends.
  pybind11::options options;
  options.disable_function_signatures();
  const std::string name = signature.member();
  cls.def(
      name.c_str(),
      [signature = std::move(signature), body](const pybind11::args& args, const pybind11::kwargs& kwargs) {
        return body(signature, signature.Bind(args, kwargs));
      },
      doc.c_str());
}

// Registers `body(signature, bound arguments)`, which returns the new native object as its holder,
// as the constructor of `cls`, with the signature's docstring.
template <typename Class, typename Body>
void DefPrivateInit(Class& cls, PrivateSignature signature, Body body) {
  const std::string doc = signature.Docstring("");
  pybind11::options options;
  options.disable_function_signatures();
  cls.def(pybind11::init(
              [signature = std::move(signature), body](const pybind11::args& args, const pybind11::kwargs& kwargs) {
                return body(signature, signature.Bind(args, kwargs));
              }),
          doc.c_str());
}

// ---- implementation of the templates ----

template <typename T>
std::string SignatureTypeText() {
  static constexpr auto descr = pybind11::detail::make_caster<T>::name;
  const auto types = decltype(descr)::types();
  std::string text;
  size_t next_type = 0;
  for (const char* c = descr.text; *c != '\0'; ++c) {
    if (*c != '%') {
      text += *c;
      continue;
    }
    const std::type_info* type = types[next_type++];
    if (const auto* info = pybind11::detail::get_type_info(*type)) {
      const pybind11::handle cls(reinterpret_cast<PyObject*>(info->type));
      text += cls.attr("__module__").cast<std::string>() + "." + cls.attr("__qualname__").cast<std::string>();
    } else {
      std::string native = type->name();
      pybind11::detail::clean_type_id(native);
      text += native;
    }
  }
  return text;
}

template <typename T>
T PrivateSignature::Convert(const std::vector<pybind11::object>& bound, size_t position) const {
  pybind11::detail::make_caster<T> caster;
  if (!caster.load(bound[position], /*convert=*/true)) RefuseConversion(bound, position);
  return pybind11::detail::cast_op<T>(std::move(caster));
}

template <typename Self>
Self& PrivateSignature::SelfOf(const std::vector<pybind11::object>& bound) const {
  if (!pybind11::isinstance<Self>(bound[0])) RefuseConversion(bound, 0);
  return bound[0].cast<Self&>();
}

}  // namespace dodezero_vizu

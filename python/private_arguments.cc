#include "python/private_arguments.h"

namespace py = pybind11;

namespace dodezero_vizu {
namespace {

const std::string kSelf = "self";

}  // namespace

PrivateSignature::PrivateSignature(std::string member, std::string self_type, std::vector<PrivateParameter> parameters,
                                   std::string result)
    : member_(std::move(member)),
      self_type_(std::move(self_type)),
      parameters_(std::move(parameters)),
      result_(std::move(result)) {}

std::string PrivateSignature::Signature() const {
  std::string signature = "(self: " + self_type_;
  for (const auto& p : parameters_) {
    signature += ", " + p.name + ": " + p.type;
    if (p.default_value) signature += " = " + py::repr(p.default_value).cast<std::string>();
  }
  return signature + ") -> " + result_;
}

std::string PrivateSignature::Docstring(const std::string& text) const {
  std::string doc = member_ + Signature() + "\n";
  if (!text.empty()) doc += "\n" + text + "\n";
  return doc;
}

std::vector<py::object> PrivateSignature::Bind(const py::args& args, const py::kwargs& kwargs) const {
  const size_t first = constructor() ? 0 : 1;  // where the arguments after self start in args
  if (args.size() < first) Refuse("Missing argument: self.");
  const size_t given = args.size() - first;
  if (given > parameters_.size()) {
    Refuse("Too many positional arguments: " + std::to_string(given) + " given, at most " +
           std::to_string(parameters_.size()) + ".");
  }
  std::vector<py::object> bound(parameters_.size() + 1);
  bound[0] = constructor() ? py::none() : py::object(args[0]);
  for (size_t i = 0; i < given; ++i) bound[i + 1] = args[first + i];
  for (const auto& [key, value] : kwargs) {
    // Keywords are names the caller wrote, not values.
    const std::string name = py::str(key).cast<std::string>();
    size_t i = 0;
    while (i < parameters_.size() && parameters_[i].name != name) ++i;
    if (i == parameters_.size()) Refuse("Unexpected keyword argument: " + name + ".");
    if (bound[i + 1]) Refuse("Argument given twice: " + name + ".");
    bound[i + 1] = py::reinterpret_borrow<py::object>(value);
  }
  for (size_t i = 0; i < parameters_.size(); ++i) {
    if (bound[i + 1]) continue;
    if (!parameters_[i].default_value) Refuse("Missing argument: " + parameters_[i].name + ".");
    bound[i + 1] = parameters_[i].default_value;
  }
  return bound;
}

void PrivateSignature::Refuse(const std::string& reason) const {
  // The supported signature, as pybind11 gives it, then what is wrong with the call.
  std::string supported = Signature();
  if (constructor()) {
    // As pybind11 writes a constructor: "Class(arguments)", without self and the result.
    const size_t first = supported.find(", ");
    const size_t end = supported.rfind(" -> ");
    supported = self_type_ + "(" + (first < end ? supported.substr(first + 2, end - first - 2) : ")");
  }
  throw py::type_error(member_ + "(): incompatible " + (constructor() ? "constructor" : "function") +
                       " arguments. The following argument types are supported:\n    1. " + supported + "\n\n" +
                       reason);
}

const std::string& PrivateSignature::NameAt(size_t position) const {
  return position == 0 ? kSelf : parameters_[position - 1].name;
}

const std::string& PrivateSignature::TypeAt(size_t position) const {
  return position == 0 ? self_type_ : parameters_[position - 1].type;
}

void PrivateSignature::RefuseConversion(const std::vector<py::object>& bound, size_t position) const {
  // The Python type of the value is named; the value itself never is.
  Refuse("Argument " + NameAt(position) + " (of type " + std::string(Py_TYPE(bound[position].ptr())->tp_name) +
         ") does not convert to " + TypeAt(position) + ".");
}

}  // namespace dodezero_vizu

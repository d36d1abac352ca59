// Argument casters whose only change from pybind11's own is the type text that signatures and
// help() show: id and include lists read "list[str]" and the index key reads
// "Annotated[list[int], FixedSize(32)]", the texts of the module's published signatures, whatever
// the pybind11 release this is built with. Loading and casting are pybind11's, unchanged.
//
// Every translation unit of the module that converts these types must include this header
// (through bindings.h), so that one caster is used for each type throughout the module.
// Throws nothing of its own; no state.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace pybind11::detail {

template <>
struct type_caster<std::vector<std::string>> : list_caster<std::vector<std::string>, std::string> {
  static constexpr auto name = const_name("list[str]");
};

template <>
struct type_caster<std::array<uint8_t, 32>> : array_caster<std::array<uint8_t, 32>, uint8_t, false, 32> {
  static constexpr auto name = const_name("Annotated[list[int], FixedSize(32)]");
};

}  // namespace pybind11::detail

// The two ways vectors cross from Python into the native index: NumpyToMatrix copies a float32
// NumPy array, NestedListToMatrix copies rows that pybind11 has already turned into floats. Both
// return a FloatMatrix that owns its values in logical row-major order; nothing of the Python
// object is referenced afterwards. ListSnapshot pins a list's items before they are converted.
//
// NumpyToMatrix throws std::runtime_error "Expected a 2D array" + ("." or " or a 1D array if
// allowed.") for another number of dimensions, and "Buffer size mismatch or null pointer." for an
// inconsistent buffer. NestedListToMatrix throws std::invalid_argument for rows of unequal
// length. Both throw std::length_error when the values cannot be held, std::bad_alloc without
// memory; ListSnapshot throws pybind11::error_already_set. Call with the interpreter lock held;
// the matrices may be used after releasing it.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <vector>

#include "core/matrix.h"

namespace dodezero_vizu {

ostrik::FloatMatrix NumpyToMatrix(const pybind11::array_t<float, pybind11::array::forcecast>& array, bool allow_1d);

ostrik::FloatMatrix NestedListToMatrix(const std::vector<std::vector<float>>& rows);

// A new list holding the items of `list` (a list or subclass) as they are now. Converting an item
// may run the caller's code (__iter__, keys(), __float__), which may change the caller's list;
// walking the snapshot instead never reads past its end or an item that was freed. The copy is
// taken from the list's storage, so no code of the caller runs while it is made.
pybind11::list ListSnapshot(const pybind11::handle& list);

}  // namespace dodezero_vizu

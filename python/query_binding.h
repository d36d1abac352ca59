// The body of EncryptedIndex.query: one or several query vectors (a float32 array or a list of
// lists) or a text embedded by the index's model, a filter dict and include texts, turned into
// the native query; its results come back as lists of {"id", "distance", "metadata"} dicts.
//
// Failures keep the types each stage gives them: argument refusals are ValueError or TypeError,
// embedding and list-element conversion failures RuntimeError, and the native query's
// std::runtime_error is thrown as pybind11::value_error (its std::invalid_argument is ValueError,
// its std::out_of_range IndexError). Call with the interpreter lock held: it is released only
// around the native query, when the queries and parameters are native values.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

#include "index/encrypted_index.h"
#include "python/signature_casters.h"

namespace dodezero_vizu {

pybind11::list QueryBinding(ostrik::EncryptedIndex& index, const pybind11::object& query_vector,
                            const pybind11::object& query_contents, uint64_t top_k, uint64_t n_probes,
                            const pybind11::dict& filters, const std::vector<std::string>& include, bool greedy);

}  // namespace dodezero_vizu

// The body of EncryptedIndex.upsert: a list of item dicts, or ids with a float32 vector array,
// turned into the native upsert's vectors, ids, contents and metadata texts. Text contents given
// without a vector are embedded by the index's model; metadata dicts become JSON text.
//
// Every failure, the binding's own and the native upsert's, is thrown as pybind11::value_error
// (ValueError) with the failure's own message. Call with the interpreter lock held: it is released
// only around the native upsert, when every Python value has been copied into native ones.
#pragma once

#include <pybind11/pybind11.h>

#include "index/encrypted_index.h"
#include "python/signature_casters.h"

namespace dodezero_vizu {

void UpsertBinding(ostrik::EncryptedIndex& index, const pybind11::object& arg1, const pybind11::object& arg2);

}  // namespace dodezero_vizu

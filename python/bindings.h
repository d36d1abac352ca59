// The registration functions of the dodezero_vizu module, one per bound class (module.cc calls
// them in the module's class order), and the bodies of the two large EncryptedIndex members.
//
// Registration runs once, at import, with the interpreter lock held; a failure propagates to the
// module entry, which turns it into ImportError. The bound members document their own errors.
//
// Members take self by reference (a lambda around the native member), never as a pointer to a
// member function: pybind11 passes such a member's self as a pointer, and accepts None for it, so
// an unbound call like Client.get_cpu_threads(None) would run it on a null object.
#pragma once

#include <pybind11/pybind11.h>

#include "python/signature_casters.h"

namespace dodezero_vizu {

void BindDBConfig(pybind11::module_& m);
void BindLogger(pybind11::module_& m);
// IndexConfig, then IndexIVFFlat (its base must be registered first).
void BindIndexConfigs(pybind11::module_& m);
void BindClient(pybind11::module_& m);
void BindEncryptedIndex(pybind11::module_& m);

}  // namespace dodezero_vizu

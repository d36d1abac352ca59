// The module entry: PYBIND11_MODULE refuses an interpreter whose version differs from the one the
// module was built for (ImportError "Python version mismatch: ..."), and turns a failure while the
// module is defined into ImportError. Nothing else is set up at import but the translation of
// native exceptions (native_texts.h).
#include <pybind11/pybind11.h>

#include "python/bindings.h"
#include "python/native_texts.h"

PYBIND11_MODULE(dodezero_vizu, m) {
  m.doc() = "Pybind11 bindings for OstrikDB";
  dodezero_vizu::RegisterExceptionTexts();
  dodezero_vizu::BindDBConfig(m);
  dodezero_vizu::BindLogger(m);
  dodezero_vizu::BindIndexConfigs(m);
  dodezero_vizu::BindClient(m);
  dodezero_vizu::BindEncryptedIndex(m);
}

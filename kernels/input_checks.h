// Shape checks that every kernel entry point makes before its first parallel region, so that no
// kernel reads past a buffer and no failure can arise inside a region.
//
// Each check throws std::invalid_argument with a fixed text; none logs. Stateless.
#pragma once

#include <cstdint>

#include "core/matrix.h"
#include "kernels/kernel_records.h"

namespace ostrik_encrypted_index::internal::kernels {

// data holds exactly rows x cols values.
void CheckFloatMatrixShape(const ostrik::FloatMatrix& m);

// count is not negative and equals rows, data holds exactly rows x cols values, and (when it
// has centroids) each centroid has `width` components.
void CheckQuantizerShape(const ostrik::QuantizerMatrix& q, uint64_t width);

}  // namespace ostrik_encrypted_index::internal::kernels

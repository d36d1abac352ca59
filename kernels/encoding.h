// Nearest-centroid encoding: the code of subvector s of a vector is the index of the centroid of
// quantizer s nearest to it (ties to the lowest index). With one quantizer a vector's code is the
// list it joins.
//
// Throws std::runtime_error "Unsupported distance metric." (logged at ERROR on the current
// logger first) for a metric code other than 0-2, and std::invalid_argument, unlogged, for an
// empty quantizer list, a dimension not divisible by the quantizers, dimension 0, a malformed
// matrix, or a quantizer without centroids or of another width; all before any parallel work.
// Keeps no state; its parallel region uses the calling thread's OpenMP team.
#pragma once

#include <vector>

#include "core/config.h"
#include "core/matrix.h"
#include "kernels/kernel_records.h"

namespace ostrik_encrypted_index::internal::kernels {

ostrik::CodeMatrix EncodeVectors(const ostrik::FloatMatrix& vectors,
                                 const std::vector<ostrik::QuantizerMatrix>& quantizers,
                                 ostrik::DistanceMetric metric);
ostrik::CodeMatrix EncodeVectorsGpu(const ostrik::FloatMatrix& vectors,
                                    const std::vector<ostrik::QuantizerMatrix>& quantizers,
                                    ostrik::DistanceMetric metric);

}  // namespace ostrik_encrypted_index::internal::kernels

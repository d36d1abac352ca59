// Mini-batch k-means training of one centroid set per subvector: k-means++ seeding on a bounded
// sample, then exactly max_iters rounds, each assigning a random batch of the training vectors to
// their nearest centroids and moving every assigned centroid towards its vectors, one vector at a
// time, with a learning rate 1 / (count + 1) that falls with the vectors it has absorbed.
//
// Throws std::runtime_error "Unsupported distance metric." for a metric code other than 0-2, and
// std::invalid_argument for 0 subvectors, a dimension not divisible by the subvectors, no
// vectors, dimension 0, 0 clusters or a malformed matrix; all before any parallel work. Fewer
// vectors than clusters is allowed (a warning goes to stderr). Writes no log line. Keeps no
// state; its parallel regions use the calling thread's OpenMP team.
#pragma once

#include <vector>

#include "core/config.h"
#include "core/matrix.h"
#include "kernels/kernel_records.h"

namespace ostrik_encrypted_index::internal::kernels {

std::vector<ostrik::QuantizerMatrix> TrainQuantizer(const ostrik::FloatMatrix& vectors,
                                                    const ostrik::KMeansParams& params,
                                                    ostrik::DistanceMetric metric);
std::vector<ostrik::QuantizerMatrix> TrainQuantizerGpu(const ostrik::FloatMatrix& vectors,
                                                       const ostrik::KMeansParams& params,
                                                       ostrik::DistanceMetric metric);

// Decide by squared Euclidean (Euclidean and SquaredEuclidean) or cosine distances.
std::vector<ostrik::QuantizerMatrix> TrainQuantizerEuclidean(const ostrik::FloatMatrix& vectors,
                                                             const ostrik::KMeansParams& params);
std::vector<ostrik::QuantizerMatrix> TrainQuantizerCosine(const ostrik::FloatMatrix& vectors,
                                                          const ostrik::KMeansParams& params);

}  // namespace ostrik_encrypted_index::internal::kernels

// k-means++ seeding: k starting centroids drawn from a random sample of at most n_init of the
// points (one point per column of X), each new centroid with probability proportional to its
// distance from the nearest centroid chosen so far. The Euclidean variant weighs by squared
// Euclidean distance, the cosine variant by cosine distance (not squared).
//
// Throws std::invalid_argument when X has no column or k is 0. Uses its own random generator per
// call and Armadillo's generator of the calling thread for the sample; runs parallel regions of
// its own over the sample (call it from outside any region).
#pragma once

#include <armadillo>
#include <cstdint>

namespace ostrik_encrypted_index::internal::kernels {

// Returns the sub x k centroid matrix, column i = centroid i.
arma::fmat KMeansPlusPlusInitEuclidean(const arma::fmat& points, uint64_t k, uint64_t n_init);
arma::fmat KMeansPlusPlusInitCosine(const arma::fmat& points, uint64_t k, uint64_t n_init);

}  // namespace ostrik_encrypted_index::internal::kernels

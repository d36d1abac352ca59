// k-means++ seeding: k starting centroids drawn from a random sample of at most n_init of the
// points (one point per column of X), each new centroid with probability proportional to its
// distance from the nearest centroid chosen so far. The Euclidean variant weighs by squared
// Euclidean distance, the cosine variant by cosine distance (not squared).
//
// Throws std::invalid_argument when X has no column or k is 0. Draws the sample with Armadillo's
// generator of the calling thread and the centroids with a generator of its own, seeded from the
// system's random device unless a seed is given; for equal seeds and sample the centroids are
// the same bit for bit whatever the thread count. Runs one parallel region of its own, on at most
// one thread per 4,096 sampled points (call it from outside any region).
#pragma once

#include <armadillo>
#include <cstdint>

namespace ostrik_encrypted_index::internal::kernels {

// Returns the sub x k centroid matrix, column i = centroid i.
arma::fmat KMeansPlusPlusInitEuclidean(const arma::fmat& points, uint64_t k, uint64_t n_init);
arma::fmat KMeansPlusPlusInitCosine(const arma::fmat& points, uint64_t k, uint64_t n_init);

// The same with the centroid generator's seed given, for callers that must repeat a seeding.
arma::fmat KMeansPlusPlusInitEuclidean(const arma::fmat& points, uint64_t k, uint64_t n_init, uint32_t seed);
arma::fmat KMeansPlusPlusInitCosine(const arma::fmat& points, uint64_t k, uint64_t n_init, uint32_t seed);

}  // namespace ostrik_encrypted_index::internal::kernels

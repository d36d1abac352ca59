// Pairwise distance matrices between two sets of vectors, one vector per column: points A
// (d x m) and centres B (d x p). The result `out` is p x m: out(i, j) compares centre i with
// point j. The cross terms come from one BLAS product; nothing is clamped, so a vector compared
// with itself may give a tiny negative squared distance.
//
// Operands of different heights raise Armadillo's std::logic_error. Stateless; runs on the
// calling thread and may be called from inside parallel regions (see blas_threads.h).
#pragma once

#include <armadillo>
#include <vector>

namespace ostrik_encrypted_index::internal::kernels {

// out(i, j) = (-2 B_i . A_j + |B_i|^2) + |A_j|^2.
void SquaredEuclideanDistances(const arma::fmat& points, const arma::fmat& centres, arma::fmat& out);

// out(i, j) = 1 - (B_i / |B_i|) . (A_j / |A_j|); a zero vector is at distance 1 from everything.
void CosineDistances(const arma::fmat& points, const arma::fmat& centres, arma::fmat& out);

// For points compared with many centres in turn, the per-point work done once: the same results
// as the two functions above, bit for bit, given what they would derive from the points.
// ColumnSquaredNorms: norms[j] = |m_j|^2 (resized to m's columns), as SquaredEuclideanDistances
// computes it; point_norms holds those of `points`. unit_points = arma::normalise(points, 2, 0).
void ColumnSquaredNorms(const arma::fmat& m, std::vector<float>& norms);
void SquaredEuclideanDistancesWithNorms(const arma::fmat& points, const float* point_norms, const arma::fmat& centres,
                                        arma::fmat& out);
void CosineDistancesToUnitPoints(const arma::fmat& unit_points, const arma::fmat& centres, arma::fmat& out);

}  // namespace ostrik_encrypted_index::internal::kernels

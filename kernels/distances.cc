#include "kernels/distances.h"

#include <cstdint>
#include <vector>

namespace ostrik_encrypted_index::internal::kernels {
namespace {

// Reused per thread: the kernels call these functions once per block inside their regions.
thread_local std::vector<float> point_norms;
thread_local std::vector<float> centre_norms;

}  // namespace

void ColumnSquaredNorms(const arma::fmat& m, std::vector<float>& norms) {
  norms.resize(m.n_cols);
  for (arma::uword j = 0; j < m.n_cols; ++j) {
    const float* col = m.colptr(j);
    // Eight partial sums let the compiler vectorise; the norms carry no required order.
    float part[8] = {};
    arma::uword r = 0;
    for (; r + 8 <= m.n_rows; r += 8) {
      for (int l = 0; l < 8; ++l) part[l] += col[r + l] * col[r + l];
    }
    float s = ((part[0] + part[1]) + (part[2] + part[3])) + ((part[4] + part[5]) + (part[6] + part[7]));
    for (; r < m.n_rows; ++r) s += col[r] * col[r];
    norms[j] = s;
  }
}

void SquaredEuclideanDistances(const arma::fmat& points, const arma::fmat& centres, arma::fmat& out) {
  ColumnSquaredNorms(points, point_norms);
  SquaredEuclideanDistancesWithNorms(points, point_norms.data(), centres, out);
}

void SquaredEuclideanDistancesWithNorms(const arma::fmat& points, const float* norms, const arma::fmat& centres,
                                        arma::fmat& out) {
  out = centres.t() * points;
  std::vector<float>& b = centre_norms;
  ColumnSquaredNorms(centres, b);
  for (arma::uword j = 0; j < out.n_cols; ++j) {
    float* col = out.colptr(j);
    const float a = norms[j];
    for (arma::uword i = 0; i < out.n_rows; ++i) col[i] = (-2.0f * col[i] + b[i]) + a;
  }
}

void CosineDistances(const arma::fmat& points, const arma::fmat& centres, arma::fmat& out) {
  if (points.n_rows == 0 && centres.n_rows == 0) {
    out.ones(centres.n_cols, points.n_cols);
    return;
  }
  // normalise() leaves a zero column as it is, so its distance to everything comes out as 1.
  CosineDistancesToUnitPoints(arma::normalise(points, 2, 0), centres, out);
}

void CosineDistancesToUnitPoints(const arma::fmat& unit_points, const arma::fmat& centres, arma::fmat& out) {
  if (unit_points.n_rows == 0 && centres.n_rows == 0) {
    out.ones(centres.n_cols, unit_points.n_cols);
    return;
  }
  const arma::fmat unit_centres = arma::normalise(centres, 2, 0);
  out = unit_centres.t() * unit_points;
  out.transform([](float v) { return 1.0f - v; });
}

}  // namespace ostrik_encrypted_index::internal::kernels

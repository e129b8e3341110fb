#include "engine/scene/scene_description.h"

#include <cmath>
#include <limits>

namespace qor::scene {

std::string to_string(const file_location& location) {
  return location.file + ":" + std::to_string(location.line) + ":" +
         std::to_string(location.column);
}

std::string to_string(const scene_warning& warning) {
  return to_string(warning.location) + ": warning: " + warning.message;
}

namespace {

using matrix = std::array<std::array<double, 4>, 4>;

// Gauss-Jordan elimination with full pivoting; nullopt for a singular (or non-finite) matrix.
std::optional<matrix> invert(const matrix& m) {
  int indxc[4], indxr[4];
  int ipiv[4] = {0, 0, 0, 0};
  matrix minv = m;
  for (int i = 0; i < 4; i++) {
    int irow = 0, icol = 0;
    double big = 0;
    for (int j = 0; j < 4; j++) {
      if (ipiv[j] != 1) {
        for (int k = 0; k < 4; k++) {
          if (ipiv[k] == 0) {
            if (std::abs(minv[j][k]) >= big) {
              big = std::abs(minv[j][k]);
              irow = j;
              icol = k;
            }
          } else if (ipiv[k] > 1) {
            return std::nullopt;
          }
        }
      }
    }
    ++ipiv[icol];
    if (irow != icol) std::swap(minv[irow], minv[icol]);
    indxr[i] = irow;
    indxc[i] = icol;
    if (!(minv[icol][icol] != 0) || !std::isfinite(minv[icol][icol])) return std::nullopt;
    double pivinv = 1 / minv[icol][icol];
    minv[icol][icol] = 1;
    for (int j = 0; j < 4; j++) minv[icol][j] *= pivinv;
    for (int j = 0; j < 4; j++) {
      if (j != icol) {
        double save = minv[j][icol];
        minv[j][icol] = 0;
        for (int k = 0; k < 4; k++) minv[j][k] -= minv[icol][k] * save;
      }
    }
  }
  for (int j = 3; j >= 0; j--) {
    if (indxr[j] != indxc[j]) {
      for (int k = 0; k < 4; k++) std::swap(minv[k][indxr[j]], minv[k][indxc[j]]);
    }
  }
  for (const auto& row : minv)
    for (double v : row)
      if (!std::isfinite(v)) return std::nullopt;
  return minv;
}

matrix multiply(const matrix& a, const matrix& b) {
  matrix r{};
  for (int i = 0; i < 4; i++)
    for (int j = 0; j < 4; j++)
      r[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j] + a[i][3] * b[3][j];
  return r;
}

}  // namespace

transform transform::from_matrix(const matrix& m) {
  transform t;
  t.m = m;
  if (auto inv = invert(m)) {
    t.m_inverse = *inv;
  } else {
    for (auto& row : t.m_inverse) row.fill(std::numeric_limits<double>::quiet_NaN());
  }
  return t;
}

bool transform::invertible() const {
  return !std::isnan(m_inverse[0][0]);
}

bool transform::is_identity() const {
  for (int i = 0; i < 4; i++)
    for (int j = 0; j < 4; j++)
      if (m[i][j] != (i == j ? 1.0 : 0.0)) return false;
  return true;
}

bool transform::swaps_handedness() const {
  double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
               m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
               m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  return det < 0;
}

double3 transform::apply_point(const double3& p) const {
  double r[4];
  for (int i = 0; i < 4; i++) r[i] = m[i][0] * p[0] + m[i][1] * p[1] + m[i][2] * p[2] + m[i][3];
  if (r[3] == 1) return {r[0], r[1], r[2]};
  return {r[0] / r[3], r[1] / r[3], r[2] / r[3]};
}

double3 transform::apply_vector(const double3& v) const {
  return {m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2],
          m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
          m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]};
}

double3 transform::apply_normal(const double3& n) const {
  const auto& mi = m_inverse;
  return {mi[0][0] * n[0] + mi[1][0] * n[1] + mi[2][0] * n[2],
          mi[0][1] * n[0] + mi[1][1] * n[1] + mi[2][1] * n[2],
          mi[0][2] * n[0] + mi[1][2] * n[1] + mi[2][2] * n[2]};
}

transform operator*(const transform& a, const transform& b) {
  return {multiply(a.m, b.m), multiply(b.m_inverse, a.m_inverse)};
}

}  // namespace qor::scene

// Small vector and colour types of the runtime. Geometry is in double precision (the host
// interface hands positions and directions to modules as doubles); colours are float RGB.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

namespace engine {

inline constexpr double pi = 3.141592653589793;

struct vec3 {
  double x = 0, y = 0, z = 0;

  constexpr vec3() = default;
  constexpr vec3(double x_, double y_, double z_) : x(x_), y(y_), z(z_) {}
  static vec3 from(const double v[3]) { return {v[0], v[1], v[2]}; }
  void store(double out[3]) const {
    out[0] = x;
    out[1] = y;
    out[2] = z;
  }

  double operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }
  vec3 operator-() const { return {-x, -y, -z}; }
  vec3& operator+=(const vec3& b) {
    x += b.x;
    y += b.y;
    z += b.z;
    return *this;
  }
};

inline vec3 operator+(const vec3& a, const vec3& b) {
  return {a.x + b.x, a.y + b.y, a.z + b.z};
}
inline vec3 operator-(const vec3& a, const vec3& b) {
  return {a.x - b.x, a.y - b.y, a.z - b.z};
}
inline vec3 operator*(const vec3& a, double s) {
  return {a.x * s, a.y * s, a.z * s};
}
inline vec3 operator*(double s, const vec3& a) {
  return a * s;
}
inline vec3 operator/(const vec3& a, double s) {
  return a * (1.0 / s);
}
inline double dot(const vec3& a, const vec3& b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}
inline vec3 cross(const vec3& a, const vec3& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline double length_squared(const vec3& a) {
  return dot(a, a);
}
inline double length(const vec3& a) {
  return std::sqrt(dot(a, a));
}
inline vec3 normalize(const vec3& a) {
  return a / length(a);
}
inline bool is_finite(const vec3& a) {
  return std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(a.z);
}

// Two unit vectors that complete the unit vector n to a right-handed orthonormal frame
// (Duff et al., "Building an orthonormal basis, revisited").
inline void orthonormal_basis(const vec3& n, vec3& tangent, vec3& bitangent) {
  const double sign = std::copysign(1.0, n.z);
  const double a = -1.0 / (sign + n.z);
  const double b = n.x * n.y * a;
  tangent = {1.0 + sign * n.x * n.x * a, sign * b, -sign * n.x};
  bitangent = {b, sign + n.y * n.y * a, -n.y};
}

struct rgb {
  float r = 0, g = 0, b = 0;

  constexpr rgb() = default;
  constexpr rgb(float r_, float g_, float b_) : r(r_), g(g_), b(b_) {}
  static constexpr rgb gray(float v) { return {v, v, v}; }

  float operator[](int i) const { return i == 0 ? r : (i == 1 ? g : b); }
  float mean() const { return (r + g + b) / 3.0f; }
  float max() const { return std::max(r, std::max(g, b)); }
  bool is_black() const { return r == 0 && g == 0 && b == 0; }
  void add_to(float out[3]) const {
    out[0] += r;
    out[1] += g;
    out[2] += b;
  }
  rgb& operator+=(const rgb& o) {
    r += o.r;
    g += o.g;
    b += o.b;
    return *this;
  }
  rgb& operator*=(const rgb& o) {
    r *= o.r;
    g *= o.g;
    b *= o.b;
    return *this;
  }
};

inline rgb operator+(const rgb& a, const rgb& b) {
  return {a.r + b.r, a.g + b.g, a.b + b.b};
}
inline rgb operator*(const rgb& a, const rgb& b) {
  return {a.r * b.r, a.g * b.g, a.b * b.b};
}
inline rgb operator*(const rgb& a, float s) {
  return {a.r * s, a.g * s, a.b * s};
}
inline rgb operator*(float s, const rgb& a) {
  return a * s;
}

// A row-major 3x4 affine transform (the fourth column is the translation), with the linear
// part's inverse transpose for normals.
struct affine_transform {
  double m[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};

  vec3 point(const vec3& p) const {
    return {m[0][0] * p.x + m[0][1] * p.y + m[0][2] * p.z + m[0][3],
            m[1][0] * p.x + m[1][1] * p.y + m[1][2] * p.z + m[1][3],
            m[2][0] * p.x + m[2][1] * p.y + m[2][2] * p.z + m[2][3]};
  }
  vec3 vector(const vec3& v) const {
    return {m[0][0] * v.x + m[0][1] * v.y + m[0][2] * v.z,
            m[1][0] * v.x + m[1][1] * v.y + m[1][2] * v.z,
            m[2][0] * v.x + m[2][1] * v.y + m[2][2] * v.z};
  }
  // Applies the transpose of the linear part: for the inverse transform's matrix, this maps
  // normals of the forward transform.
  vec3 transposed_vector(const vec3& v) const {
    return {m[0][0] * v.x + m[1][0] * v.y + m[2][0] * v.z,
            m[0][1] * v.x + m[1][1] * v.y + m[2][1] * v.z,
            m[0][2] * v.x + m[1][2] * v.y + m[2][2] * v.z};
  }
};

// How messages and scene summaries print a colour or a point: "(r, g, b)".
inline std::string text(double x, double y, double z) {
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, "(%g, %g, %g)", x, y, z);
  return buffer;
}
inline std::string text(const rgb& c) {
  return text(c.r, c.g, c.b);
}
inline std::string text(const vec3& v) {
  return text(v.x, v.y, v.z);
}

}  // namespace engine

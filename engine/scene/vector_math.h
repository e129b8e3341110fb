// The few operations on double3 points and vectors that the scene reader needs to place shapes,
// lights and the camera, and how its messages print them. Nothing here is meant for rendering: the
// engine's runtime has its own.
#pragma once

#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>

#include "engine/scene/scene_description.h"

namespace qor::scene {

inline double3 sub(const double3& a, const double3& b) {
  return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}
inline double3 cross(const double3& a, const double3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
inline double dot(const double3& a, const double3& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}
inline double length(const double3& a) {
  return std::sqrt(dot(a, a));
}
// Not defined for a vector of length 0 (every component becomes NaN): callers check first.
inline double3 normalize(const double3& a) {
  double l = length(a);
  return {a[0] / l, a[1] / l, a[2] / l};
}
inline bool finite(const double3& a) {
  return std::isfinite(a[0]) && std::isfinite(a[1]) && std::isfinite(a[2]);
}
inline double radians(double degrees) {
  return degrees * std::numbers::pi / 180;
}

// How messages about the scene print a number and a point.
inline std::string text(double v) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%g", v);
  return buffer;
}
inline std::string text(const double3& a) {
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, "(%g, %g, %g)", a[0], a[1], a[2]);
  return buffer;
}

}  // namespace qor::scene

#include "engine/runtime/film_filter.h"

#include <algorithm>
#include <cmath>

namespace engine {

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr int cells = 1024;  // per axis: fine beside a pixel's sampling noise

double sinc(double x) {
  return std::abs(x) < 1e-5 ? 1.0 : std::sin(pi * x) / (pi * x);
}

// pbrt-v4's filters are products of one profile per axis; this is the profile at x pixels from
// the pixel's centre. Mitchell's and sinc's negative lobes are left out: a position cannot carry
// a negative weight, and dropping the small lobes stays nearer the filter than folding them in.
double profile(const qor::scene::pixel_filter_description& f, double radius, double x) {
  if (std::abs(x) > radius) return 0;
  if (f.type == "box") return 1;
  if (f.type == "triangle") return radius - std::abs(x);
  if (f.type == "sinc") return std::max(0.0, sinc(x) * sinc(x / f.tau));
  if (f.type == "mitchell") {
    const double t = std::abs(2 * x / radius), b = f.b, c = f.c;
    const double v =
        t > 1
            ? ((-b - 6 * c) * t * t * t + (6 * b + 30 * c) * t * t + (-12 * b - 48 * c) * t +
               (8 * b + 24 * c)) /
                  6
            : ((12 - 9 * b - 6 * c) * t * t * t + (-18 + 12 * b + 6 * c) * t * t + (6 - 2 * b)) / 6;
    return std::max(0.0, v);
  }
  // gaussian, lowered so that it reaches 0 at the radius
  auto g = [&](double v) { return std::exp(-v * v / (2.0 * f.sigma * f.sigma)); };
  return std::max(0.0, g(x) - g(radius));
}

// The probability that a standard normal sample lies below x.
double normal_below(double x) {
  return 0.5 * std::erfc(-x / std::sqrt(2.0));
}

// A number in [0, 1) fixed by the pass and the axis.
double pass_hash(int32_t iteration, int axis) {
  uint64_t z = uint64_t(uint32_t(iteration)) * 2 + uint64_t(axis) + 0x9e3779b97f4a7c15ull;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  z ^= z >> 31;
  return double(z >> 11) * 0x1.0p-53;
}

}  // namespace

film_filter::film_filter(const qor::scene::pixel_filter_description& filter)
    : pass_through_(false) {
  for (int axis = 0; axis < 2; ++axis) {
    axis_distribution& a = axes_[axis];
    a.radius = filter.radius[axis];
    a.cumulative.assign(cells + 1, 0.0);
    const double step = 2 * a.radius / cells;
    for (int k = 0; k < cells; ++k) {
      a.cumulative[k + 1] =
          a.cumulative[k] + profile(filter, a.radius, -a.radius + (k + 0.5) * step);
    }
    const double total = a.cumulative.back();
    if (!(total > 0)) {
      a.cumulative = {0.0, 1.0};  // a filter with no positive weight: a box of its radius
      continue;
    }
    for (double& c : a.cumulative) c /= total;
  }
}

double film_filter::axis_distribution::inverse(double u) const {
  const auto above = std::upper_bound(cumulative.begin() + 1, cumulative.end() - 1, u);
  const auto k = size_t(above - cumulative.begin()) - 1;
  const double width = cumulative[k + 1] - cumulative[k];
  const double within = width > 0 ? std::clamp((u - cumulative[k]) / width, 0.0, 1.0) : 0.5;
  const double cell = 2 * radius / double(cumulative.size() - 1);
  return -radius + (double(k) + within) * cell;
}

double film_filter::position(int axis, float jitter, float spread, int32_t iteration, int stratum,
                             int strata) const {
  if (pass_through_) return (stratum + double(jitter)) / strata;
  // The renderer clamps to these floats exactly (half the spread, in single precision, either
  // side of 0.5f).
  const float half = 0.5f * spread;
  double quantile = 0.5;
  if (half > 0) {
    const double end = normal_below(-1.0);  // the share the clamp puts on each end
    if (jitter >= 0.5f + half) {
      quantile = 1 - end * pass_hash(iteration, axis);
    } else if (jitter <= 0.5f - half) {
      quantile = end * pass_hash(iteration, axis);
    } else {
      quantile = normal_below((double(jitter) - 0.5) / double(half));  // in standard deviations
    }
  }
  return 0.5 + axes_[axis].inverse((stratum + quantile) / strata);
}

}  // namespace engine

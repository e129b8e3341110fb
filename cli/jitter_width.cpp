#include "cli/jitter_width.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace qor::cli {

namespace {

constexpr double pi = 3.14159265358979323846;

double sinc(double x) {
  return std::abs(x) < 1e-5 ? 1.0 : std::sin(pi * x) / (pi * x);
}

// The filter's weight along one axis, at x pixels from the pixel's centre (pbrt-v4's filters
// are products of one such profile per axis).
double profile(const qor::scene::pixel_filter_description& f, double radius, double x) {
  if (std::abs(x) > radius) return 0;
  if (f.type == "box") return 1;
  if (f.type == "triangle") return radius - std::abs(x);
  if (f.type == "sinc") return sinc(x) * sinc(x / f.tau);
  if (f.type == "mitchell") {
    const double t = std::abs(2 * x / radius), b = f.b, c = f.c;
    if (t > 1) {
      return ((-b - 6 * c) * t * t * t + (6 * b + 30 * c) * t * t + (-12 * b - 48 * c) * t +
              (8 * b + 24 * c)) /
             6;
    }
    return ((12 - 9 * b - 6 * c) * t * t * t + (-18 + 12 * b + 6 * c) * t * t + (6 - 2 * b)) / 6;
  }
  // gaussian, offset so that it reaches 0 at the radius
  auto g = [&](double v) { return std::exp(-v * v / (2.0 * f.sigma * f.sigma)); };
  return std::max(0.0, g(x) - g(radius));
}

// The share of the jitter's samples beyond an edge at e pixels from the centre.
double jitter_beyond(double width, double e) {
  const double half = 0.5 * width;
  if (e < -half) return 1;
  if (e >= half) return 0;
  return 0.5 * std::erfc(e / half / std::sqrt(2.0));
}

float fit_axis(const qor::scene::pixel_filter_description& f, double radius) {
  // The filter's edge response on a grid wide enough for every width tried.
  constexpr double widest = 4.0;
  const double reach = std::max(radius, widest / 2);
  constexpr int cells = 2000;
  const double step = 2 * reach / cells;
  std::vector<double> beyond(cells + 1, 0.0);
  for (int k = cells - 1; k >= 0; --k) {
    beyond[k] = beyond[k + 1] + profile(f, radius, -reach + (k + 0.5) * step);
  }
  const double total = beyond[0];
  if (!(total > 0)) return 1.0f;
  double best_width = 1, best_error = INFINITY;
  for (double width = 0.1; width <= widest + 1e-9; width += 0.01) {
    double error = 0;
    for (int k = 0; k <= cells; ++k) {
      const double d = jitter_beyond(width, -reach + k * step) - beyond[k] / total;
      error += d * d;
    }
    if (error < best_error) {
      best_error = error;
      best_width = width;
    }
  }
  return float(best_width);
}

}  // namespace

float jitter_width_for(const qor::scene::pixel_filter_description& filter) {
  return 0.5f * (fit_axis(filter, filter.radius[0]) + fit_axis(filter, filter.radius[1]));
}

}  // namespace qor::cli

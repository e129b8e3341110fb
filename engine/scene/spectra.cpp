#include "engine/scene/spectra.h"

#include <cmath>
#include <string>

namespace qor::scene {

namespace {

// The CIE 1931 colour matching functions as the multi-lobe Gaussian fit of Wyman, Sloan and
// Shirley, "Simple Analytic Approximations to the CIE XYZ Color Matching Functions" (JCGT 2013):
// within a few percent of the tables, which is far below what an RGB renderer can show.
double lobe(double lambda, double mu, double sigma_below, double sigma_above) {
  double t = (lambda - mu) / (lambda < mu ? sigma_below : sigma_above);
  return std::exp(-0.5 * t * t);
}
double cie_x(double l) {
  return 1.056 * lobe(l, 599.8, 37.9, 31.0) + 0.362 * lobe(l, 442.0, 16.0, 26.7) -
         0.065 * lobe(l, 501.1, 20.4, 26.2);
}
double cie_y(double l) {
  return 0.821 * lobe(l, 568.8, 46.9, 40.5) + 0.286 * lobe(l, 530.9, 16.3, 31.1);
}
double cie_z(double l) {
  return 1.217 * lobe(l, 437.0, 11.8, 36.0) + 0.681 * lobe(l, 459.0, 26.0, 13.8);
}

constexpr double lambda_min = 360, lambda_max = 830;

rgb xyz_to_linear_srgb(double x, double y, double z) {
  return {float(3.2404542 * x - 1.5371385 * y - 0.4985314 * z),
          float(-0.9692660 * x + 1.8760108 * y + 0.0415560 * z),
          float(0.0556434 * x - 0.2040259 * y + 1.0572252 * z)};
}

template <typename spectrum>
rgb integrate_rgb(const spectrum& s) {
  double x = 0, y = 0, z = 0, y_integral = 0;
  for (double l = lambda_min; l <= lambda_max; l += 1) {
    double v = s(l);
    x += v * cie_x(l);
    y += v * cie_y(l);
    z += v * cie_z(l);
    y_integral += cie_y(l);
  }
  return xyz_to_linear_srgb(x / y_integral, y / y_integral, z / y_integral);
}

double planck(double lambda_nm, double kelvin) {
  const double c = 299792458.0, h = 6.62606957e-34, kb = 1.3806488e-23;
  double l = lambda_nm * 1e-9;
  return (2 * h * c * c) / (std::pow(l, 5) * (std::exp((h * c) / (l * kb * kelvin)) - 1));
}

struct metal {
  const char* name;
  rgb eta, k;
};

// Complex refractive indices of pbrt-v4's named metal spectra, reduced to linear sRGB by
// integrating the measured spectral data against the colour matching functions; the values
// renderers commonly publish for these materials (Tungsten's ComplexIorData, for example). CuZn
// (brass) is the widely quoted RGB approximation of the same kind.
constexpr metal metals[] = {
    {"Ag",
     {0.1552646489f, 0.1167232965f, 0.1383806959f},
     {4.8283433224f, 3.1222459278f, 2.1469504455f}},
    {"Al",
     {1.6574599595f, 0.8803689579f, 0.5212287346f},
     {9.2238691996f, 6.2695232477f, 4.8370012281f}},
    {"Au",
     {0.1431189557f, 0.3749570432f, 1.4424785571f},
     {3.9831604247f, 2.3857207478f, 1.6032152899f}},
    {"Cu",
     {0.2004376970f, 0.9240334304f, 1.1022119527f},
     {3.9129485033f, 2.4528477015f, 2.1421879552f}},
    {"CuZn", {0.444f, 0.527f, 1.094f}, {3.695f, 2.765f, 1.829f}},
    {"MgO", {2.0895885542f, 1.6507224525f, 1.5948759692f}, {0, 0, 0}},
    {"TiO2", {3.4566203131f, 2.8017076558f, 2.9051485020f}, {0.0001026662f, 0, 0.0006356902f}},
};

struct glass {
  const char* name;
  float eta;
};

// Refractive index at the helium d line (587.6 nm) from the glass makers' catalogues: pbrt-v4's
// glasses are dispersive, ours have one index.
constexpr glass glasses[] = {
    {"glass-BK7", 1.5168f},   {"glass-BAF10", 1.6700f}, {"glass-FK51A", 1.4866f},
    {"glass-LASF9", 1.8503f}, {"glass-F5", 1.6034f},    {"glass-F10", 1.7283f},
    {"glass-F11", 1.7847f},
};

}  // namespace

float luminance(const rgb& c) {
  return 0.2126729f * c[0] + 0.7151522f * c[1] + 0.0721750f * c[2];
}

rgb blackbody_rgb(double kelvin) {
  if (!(kelvin > 0)) return {0, 0, 0};
  double lambda_peak = 2.8977721e-3 / kelvin * 1e9;
  double peak = planck(lambda_peak, kelvin);
  return integrate_rgb([&](double l) { return planck(l, kelvin) / peak; });
}

rgb sampled_spectrum_rgb(const std::vector<double>& pairs) {
  size_t n = pairs.size() / 2;
  if (n == 0) return {0, 0, 0};
  auto value_at = [&](double l) {
    if (l <= pairs[0]) return pairs[1];
    for (size_t i = 0; i + 1 < n; i++) {
      double l0 = pairs[2 * i], l1 = pairs[2 * i + 2];
      if (l <= l1) {
        double t = l1 > l0 ? (l - l0) / (l1 - l0) : 0;
        return pairs[2 * i + 1] * (1 - t) + pairs[2 * i + 3] * t;
      }
    }
    return pairs[2 * n - 1];
  };
  rgb c = integrate_rgb(value_at);
  rgb white = integrate_rgb([](double) { return 1.0; });
  for (int i = 0; i < 3; i++) c[i] /= white[i];
  return c;
}

std::optional<rgb> named_spectrum_rgb(std::string_view name) {
  for (const metal& m : metals) {
    std::string prefix = std::string("metal-") + m.name;
    if (name == prefix + "-eta") return m.eta;
    if (name == prefix + "-k") return m.k;
  }
  for (const glass& g : glasses)
    if (name == g.name) return rgb{g.eta, g.eta, g.eta};
  // Standard illuminants, as colours of unit luminance: D65 is the sRGB white; A is a black body
  // at 2856 K by definition; the others are approximated by black bodies at their correlated
  // colour temperatures.
  if (name == "stdillum-D65") return rgb{1, 1, 1};
  double cct = 0;
  if (name == "stdillum-A") cct = 2856;
  if (name == "stdillum-D50") cct = 5003;
  if (name == "stdillum-F1" || name == "stdillum-F7") cct = 6430;
  if (name == "stdillum-F2" || name == "stdillum-F6" || name == "stdillum-F10") cct = 4230;
  if (name == "stdillum-F3") cct = 3450;
  if (name == "stdillum-F4" || name == "stdillum-F12") cct = 2940;
  if (name == "stdillum-F5" || name == "stdillum-F9") cct = 6350;
  if (name == "stdillum-F8") cct = 5000;
  if (name == "stdillum-F11") cct = 4000;
  if (cct > 0) {
    rgb c = blackbody_rgb(cct);
    float y = luminance(c);
    for (float& v : c) v /= y;
    return c;
  }
  return std::nullopt;
}

rgb conductor_reflectance(const rgb& eta, const rgb& k) {
  rgb r;
  for (int i = 0; i < 3; i++) {
    double n = eta[i], kk = k[i];
    r[i] = float(((n - 1) * (n - 1) + kk * kk) / ((n + 1) * (n + 1) + kk * kk));
  }
  return r;
}

}  // namespace qor::scene

#include "engine/scene/spectra.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <string>

#include "engine/scene/parse_scene.h"
#include "engine/scene/spectrum_tables.h"

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

// CIE XYZ of a spectrum, in units where the Y of the constant 1 is 1.
template <typename spectrum>
std::array<double, 3> integrate_xyz(const spectrum& s) {
  double x = 0, y = 0, z = 0, y_integral = 0;
  for (double l = lambda_min; l <= lambda_max; l += 1) {
    double v = s(l);
    x += v * cie_x(l);
    y += v * cie_y(l);
    z += v * cie_z(l);
    y_integral += cie_y(l);
  }
  return {x / y_integral, y / y_integral, z / y_integral};
}

template <typename spectrum>
rgb integrate_rgb(const spectrum& s) {
  auto [x, y, z] = integrate_xyz(s);
  return xyz_to_linear_srgb(x, y, z);
}

// The colour of a unitless spectrum seen under D65, white giving (1, 1, 1) exactly: dividing by
// the white's own colour removes what the fitted matching functions and the table's rounding
// leave of D65's distance from the sRGB white point.
template <typename spectrum>
rgb reflectance_rgb(const spectrum& s) {
  static const rgb white = integrate_rgb([](double l) { return cie_d65(l); });
  rgb c = integrate_rgb([&](double l) { return s(l) * cie_d65(l); });
  for (int i = 0; i < 3; i++) c[i] /= white[i];
  return c;
}

// Linear between the pairs, zero outside them.
double pairs_at(const std::vector<double>& pairs, double l) {
  size_t n = pairs.size() / 2;
  if (n == 0 || l < pairs[0] || l > pairs[2 * n - 2]) return 0;
  if (n == 1) return pairs[1];
  size_t hi = 1;
  while (hi + 1 < n && pairs[2 * hi] < l) hi++;
  double l0 = pairs[2 * hi - 2], l1 = pairs[2 * hi];
  double t = l1 > l0 ? (l - l0) / (l1 - l0) : 0;
  return pairs[2 * hi - 1] * (1 - t) + pairs[2 * hi + 1] * t;
}

const metal_table* find_metal(std::string_view name, bool& is_k) {
  for (const metal_table& m : measured_metals()) {
    std::string prefix = "metal-" + std::string(m.symbol);
    if (name == prefix + "-eta" || name == prefix + "-k") {
      is_k = name.ends_with("-k");
      return &m;
    }
  }
  return nullptr;
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

// Named spectra without a table here, as RGB: CuZn (brass) is the widely quoted RGB
// approximation; MgO and TiO2 are near-transparent, their indices reduced the same way. The
// measured metals are tables (spectrum_tables.cpp).
constexpr metal metals[] = {
    {"CuZn", {0.444f, 0.527f, 1.094f}, {3.695f, 2.765f, 1.829f}},
    {"MgO", {2.0895885542f, 1.6507224525f, 1.5948759692f}, {0, 0, 0}},
    {"TiO2", {3.4566203131f, 2.8017076558f, 2.9051485020f}, {0.0001026662f, 0, 0.0006356902f}},
};

struct glass {
  const char* name;
  float eta;
};

// Refractive index at the helium d line (587.6 nm) from the glass makers' catalogues: pbrt-v4's
// glasses are dispersive, ours have one index. pbrt-v4's "glass-F5", "-F10" and "-F11" are the
// dense flints SF5, SF10 and SF11.
constexpr glass glasses[] = {
    {"glass-BK7", 1.5168f},   {"glass-BAF10", 1.6700f}, {"glass-FK51A", 1.4866f},
    {"glass-LASF9", 1.8503f}, {"glass-F5", 1.6727f},    {"glass-F10", 1.7283f},
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

rgb sampled_spectrum_rgb(const std::vector<double>& pairs, spectrum_meaning meaning) {
  auto value_at = [&](double l) { return pairs_at(pairs, l); };
  return meaning == spectrum_meaning::emission ? integrate_rgb(value_at)
                                               : reflectance_rgb(value_at);
}

std::vector<double> read_spectrum_file(const std::string& contents, const std::string& path) {
  std::vector<double> pairs;
  int line = 1, column = 1;
  size_t i = 0;
  auto at = [&](int l, int c) { return file_location{path, l, c}; };
  while (i < contents.size()) {
    char ch = contents[i];
    if (ch == '\n') {
      line++, column = 1, i++;
    } else if (ch == '#') {
      while (i < contents.size() && contents[i] != '\n') i++;
    } else if (std::isspace(static_cast<unsigned char>(ch)) || ch == ',') {
      i++, column++;
    } else {
      size_t end = i;
      while (end < contents.size() && !std::isspace(static_cast<unsigned char>(contents[end])) &&
             contents[end] != ',' && contents[end] != '#')
        end++;
      const std::string word = contents.substr(i, end - i);
      char* stop = nullptr;
      double v = std::strtod(word.c_str(), &stop);
      if (stop != word.c_str() + word.size() || !std::isfinite(v)) {
        throw scene_error(at(line, column), "expected a number in the spectrum file, found \"" +
                                                word.substr(0, 32) + "\"");
      }
      if (pairs.size() % 2 == 0 && !pairs.empty() && !(v > pairs[pairs.size() - 2])) {
        throw scene_error(at(line, column), "expected wavelengths in increasing order, found " +
                                                word + " after " +
                                                std::to_string(pairs[pairs.size() - 2]));
      }
      pairs.push_back(v);
      column += int(end - i);
      i = end;
    }
  }
  if (pairs.size() < 2 || pairs.size() % 2 != 0) {
    throw scene_error(at(line, column),
                      "expected (wavelength, value) pairs in the spectrum file, "
                      "found " +
                          std::to_string(pairs.size()) + " numbers");
  }
  return pairs;
}

bool is_named_spectrum(std::string_view name) {
  return named_spectrum_rgb(name).has_value();
}

std::vector<double> named_spectrum_pairs(std::string_view name) {
  bool is_k = false;
  const metal_table* m = find_metal(name, is_k);
  std::vector<double> pairs;
  if (!m) return pairs;
  for (size_t i = 0; i < m->size; i++) {
    pairs.push_back(m->lambda[i]);
    pairs.push_back(is_k ? m->k[i] : m->eta[i]);
  }
  return pairs;
}

complex_index conductor_index_rgb(const std::vector<double>& eta_pairs,
                                  const std::vector<double>& k_pairs) {
  const rgb reflectance = reflectance_rgb([&](double l) {
    double n = pairs_at(eta_pairs, l), k = pairs_at(k_pairs, l);
    return ((n - 1) * (n - 1) + k * k) / ((n + 1) * (n + 1) + k * k);
  });
  complex_index index{reflectance_rgb([&](double l) { return pairs_at(eta_pairs, l); }), {}};
  for (int c = 0; c < 3; c++) {
    // Solve ((n - 1)^2 + k^2) / ((n + 1)^2 + k^2) = R for k; when no k >= 0 reaches R with this
    // n, take k = 0 and the n of a dielectric with that reflectance.
    const double r = std::clamp(double(reflectance[c]), 0.0, 0.9999);
    const double n = index.eta[c];
    const double k2 = (r * (n + 1) * (n + 1) - (n - 1) * (n - 1)) / (1 - r);
    if (k2 >= 0) {
      index.k[c] = float(std::sqrt(k2));
    } else {
      index.k[c] = 0;
      index.eta[c] = float((1 + std::sqrt(r)) / (1 - std::sqrt(r)));
    }
  }
  return index;
}

std::vector<rgb> conductor_reflectance_by_cosine(const std::vector<double>& eta_pairs,
                                                 const std::vector<double>& k_pairs, double outside,
                                                 int count) {
  std::vector<rgb> table;
  for (int i = 0; i < count; i++) {
    const double cos_i = double(i) / (count - 1), sin2_i = 1 - cos_i * cos_i;
    rgb c = reflectance_rgb([&](double l) {
      const std::complex<double> n(pairs_at(eta_pairs, l) / outside,
                                   pairs_at(k_pairs, l) / outside);
      const std::complex<double> cos_t = std::sqrt(1.0 - sin2_i / (n * n));
      const std::complex<double> r_parallel = (n * cos_i - cos_t) / (n * cos_i + cos_t);
      const std::complex<double> r_perpendicular = (cos_i - n * cos_t) / (cos_i + n * cos_t);
      return (std::norm(r_parallel) + std::norm(r_perpendicular)) / 2;
    });
    for (float& v : c) v = std::clamp(v, 0.0f, 1.0f);
    table.push_back(c);
  }
  return table;
}

std::optional<rgb> named_spectrum_rgb(std::string_view name) {
  std::vector<double> pairs = named_spectrum_pairs(name);
  if (!pairs.empty()) return sampled_spectrum_rgb(pairs, spectrum_meaning::reflectance);
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
  if (name == "illum-acesD60") cct = 6000;
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

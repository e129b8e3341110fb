// Spectra turned into the linear sRGB triples the engine renders with.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/scene/scene_description.h"

namespace qor::scene {

// A black body at `kelvin`, its spectrum divided by its peak as pbrt-v4's BlackbodySpectrum is.
rgb blackbody_rgb(double kelvin);

// CIE Y of a colour (its luminance when the colour is light).
float luminance(const rgb& c);

// How a spectrum becomes the RGB a pbrt-v4 RGB film would record for it. pbrt-v4 renders
// spectrally and its film projects what arrives onto the CIE 1931 matching functions, then to
// linear sRGB; a white light there is the sRGB white, D65. So:
// - a reflectance (or any unitless factor: an index, a scale) is seen under D65: its colour is
//   the film's response to D65 times the spectrum, over the response to D65 itself, so that a
//   constant c gives (c, c, c);
// - an emission spectrum is the light itself: XYZ of the spectrum to sRGB, which the light's
//   reader then scales to unit luminance as pbrt-v4 does.
enum class spectrum_meaning { reflectance, emission };

// (wavelength in nm, value) pairs with increasing wavelengths, linear between them and zero
// outside them, as pbrt-v4 reads spectrum files and inline pairs.
rgb sampled_spectrum_rgb(const std::vector<double>& lambda_value_pairs, spectrum_meaning meaning);

// Reads the text of a spectrum file: whitespace-separated (wavelength, value) pairs, '#' starts a
// comment. Throws scene_error at the file's own line and column when a value is not a number,
// the count is odd or the wavelengths do not increase.
std::vector<double> read_spectrum_file(const std::string& contents, const std::string& path);

// Whether pbrt-v4 knows `name` as a named spectrum (so that a string in a "spectrum" parameter
// is a name and not a file).
bool is_named_spectrum(std::string_view name);

// A conductor's complex index eta + i k as per-channel values for an RGB Fresnel term. For the
// measured metals pbrt-v4 evaluates the Fresnel reflectance at each wavelength and its film sees
// the result; the per-channel pair returned here keeps that: eta is the D65-weighted mean of
// the spectrum and k is chosen so that each channel's normal-incidence reflectance equals the
// film's colour of the spectral reflectance. `eta` and `k` as pairs (see sampled_spectrum_rgb).
struct complex_index {
  rgb eta, k;
};
complex_index conductor_index_rgb(const std::vector<double>& eta_pairs,
                                  const std::vector<double>& k_pairs);

// The film's colour of a conductor's Fresnel reflectance at `count` incidence cosines 0,
// 1 / (count - 1), ..., 1, seen from a medium of index `outside` (1: air; a coat's index under a
// coat): the Fresnel term taken at each wavelength, as pbrt-v4 takes it, so that the colour
// whitens towards grazing as the spectrum's does. Each channel is held to [0, 1].
std::vector<rgb> conductor_reflectance_by_cosine(const std::vector<double>& eta_pairs,
                                                 const std::vector<double>& k_pairs, double outside,
                                                 int count);

// The (wavelength, value) pairs of a named measured spectrum ("metal-Au-eta"), or empty.
std::vector<double> named_spectrum_pairs(std::string_view name);

// pbrt-v4's named spectra that have an RGB meaning here: "metal-<X>-eta" / "metal-<X>-k" for
// X in Ag, Al, Au, Cu, CuZn, MgO, TiO2; "glass-<name>" (a constant index); "stdillum-*". The
// measured metals come from their tables, as reflectance-weighted means.
std::optional<rgb> named_spectrum_rgb(std::string_view name);

// Normal-incidence Fresnel reflectance of a conductor with complex index eta + i k, per channel.
rgb conductor_reflectance(const rgb& eta, const rgb& k);

}  // namespace qor::scene

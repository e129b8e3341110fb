// Spectra turned into the linear sRGB triples the engine renders with.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "engine/scene/scene_description.h"

namespace qor::scene {

// A black body at `kelvin`, its spectrum divided by its peak as pbrt-v4's BlackbodySpectrum is.
rgb blackbody_rgb(double kelvin);

// CIE Y of a colour (its luminance when the colour is light).
float luminance(const rgb& c);

// A sampled spectrum given as (wavelength in nm, value) pairs, sorted by wavelength. Integrated
// against the colour matching functions and scaled so that a constant spectrum c maps to
// (c, c, c): an approximation, since the renderer is not spectral.
rgb sampled_spectrum_rgb(const std::vector<double>& lambda_value_pairs);

// pbrt-v4's named spectra that have an RGB meaning here: "metal-<X>-eta" / "metal-<X>-k" for
// X in Ag, Al, Au, Cu, CuZn, MgO, TiO2; "glass-<name>" (a constant index); "stdillum-*".
std::optional<rgb> named_spectrum_rgb(std::string_view name);

// Normal-incidence Fresnel reflectance of a conductor with complex index eta + i k, per channel.
rgb conductor_reflectance(const rgb& eta, const rgb& k);

}  // namespace qor::scene
